#include "transport/relay_text.hpp"

#include <arpa/inet.h>

#include <array>

#include "transport/relay.hpp"

namespace vela {
namespace {

// UTF-8 forms of tab and of every space separator.
constexpr std::array<std::string_view, 18> horizontalSpaces = {
    "\t",           " ",            "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

size_t leadingSpace(std::string_view text) {
  for (std::string_view space : horizontalSpaces)
    if (text.starts_with(space)) return space.size();
  return 0;
}

size_t trailingSpace(std::string_view text) {
  for (std::string_view space : horizontalSpaces)
    if (text.ends_with(space)) return space.size();
  return 0;
}

}  // namespace

std::string_view trimHorizontalWhitespace(std::string_view text) {
  while (size_t n = leadingSpace(text)) text.remove_prefix(n);
  while (size_t n = trailingSpace(text)) text.remove_suffix(n);
  return text;
}

std::vector<std::string> splitFields(std::string_view line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (start < line.size()) {
    size_t space = line.find(' ', start);
    if (space == std::string_view::npos) space = line.size();
    if (space > start) fields.emplace_back(line.substr(start, space - start));
    start = space + 1;
  }
  return fields;
}

std::optional<tavlo::Bytes> parseHexString(std::string_view text) {
  text = trimHorizontalWhitespace(text);
  if (text.size() % 2 != 0) return std::nullopt;
  tavlo::Bytes out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = tavlo::hexDigitValue(text[i]);
    int low = tavlo::hexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return out;
}

std::optional<ClientNotice> parseClientNotice(std::string_view line) {
  std::vector<std::string> fields = splitFields(trimHorizontalWhitespace(line));
  if (fields.size() != 3 || fields[0] != "NA") return std::nullopt;
  std::optional<tavlo::Bytes> token = parseHexString(fields[1]);
  if (!token || token->size() != Relay::tokenBytes) return std::nullopt;
  std::array<uint8_t, 16> address{};
  if (::inet_pton(AF_INET, fields[2].c_str(), address.data()) != 1 &&
      ::inet_pton(AF_INET6, fields[2].c_str(), address.data()) != 1)
    return std::nullopt;
  return ClientNotice{std::move(*token), std::move(fields[2])};
}

}  // namespace vela
