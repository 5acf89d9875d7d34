#include "platform/pasteboard/uri_list.hpp"

#include <cctype>
#include <optional>

namespace tavlo {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    const int high = hexValue(s[i + 1]);
    const int low = hexValue(s[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  if (out.find('\0') != std::string::npos) return std::nullopt;
  return out;
}

std::optional<std::filesystem::path> fileFromUri(std::string_view uri) {
  constexpr std::string_view scheme = "file://";
  if (uri.size() < scheme.size()) return std::nullopt;
  for (size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(uri[i])) != scheme[i]) return std::nullopt;
  }
  uri.remove_prefix(scheme.size());
  const size_t slash = uri.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view host = uri.substr(0, slash);
  if (!host.empty() && host != "localhost") return std::nullopt;
  auto path = percentDecode(uri.substr(slash));
  if (!path) return std::nullopt;
  return std::filesystem::path(*path);
}

}  // namespace

std::vector<std::filesystem::path> parseFileUriList(std::string_view list) {
  std::vector<std::filesystem::path> files;
  while (!list.empty()) {
    const size_t end = list.find('\n');
    std::string_view line = list.substr(0, end);
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (auto file = fileFromUri(line)) files.push_back(std::move(*file));
  }
  return files;
}

std::string formatFileUriList(const std::vector<std::filesystem::path>& files) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const auto& file : files) {
    out += "file://";
    for (const unsigned char c : file.string()) {
      const bool plain = (c < 0x80 && std::isalnum(c)) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
      if (plain) {
        out += static_cast<char>(c);
      } else {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    }
    out += "\r\n";
  }
  return out;
}

}  // namespace tavlo
