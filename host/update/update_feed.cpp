#include "host/update/update_feed.hpp"

#include <algorithm>
#include <charconv>

#include "platform/runtime/base64.hpp"

namespace tavlo {
namespace {

constexpr size_t maxFieldBytes = 2048;

bool printable(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::optional<uint64_t> wholeNumber(std::string_view text) {
  uint64_t value = 0;
  if (text.empty() || text.size() > 19) return std::nullopt;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<UpdateFeed> parseUpdateFeed(std::string_view text, std::string& error) {
  if (text.size() > UpdateFeed::maxBytes) {
    error = "feed larger than " + std::to_string(UpdateFeed::maxBytes) + " bytes";
    return std::nullopt;
  }
  UpdateFeed feed;
  bool haveSize = false, haveSignature = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    // Checked before any part of the line can reach an error text and so the log.
    if (!printable(line)) {
      error = "feed line that is not text";
      return std::nullopt;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      error = "feed line without '='";
      return std::nullopt;
    }
    std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
    if (value.size() > maxFieldBytes) {
      error = "feed value of " + std::string(key.substr(0, 32)) + " is too long";
      return std::nullopt;
    }
    if (key == "version") {
      feed.version = value;
    } else if (key == "build") {
      feed.build = value;
    } else if (key == "url") {
      feed.url = value;
    } else if (key == "size") {
      auto size = wholeNumber(value);
      if (!size) {
        error = "feed size is not a whole number";
        return std::nullopt;
      }
      feed.size = *size;
      haveSize = true;
    } else if (key == "ed25519") {
      auto bytes = base64Decode(value);
      if (!bytes || bytes->size() != feed.signature.size()) {
        error = "feed signature is not 64 bytes of Base64";
        return std::nullopt;
      }
      std::copy(bytes->begin(), bytes->end(), feed.signature.begin());
      haveSignature = true;
    }
  }
  if (feed.version.empty() || feed.build.empty() || feed.url.empty() || !haveSize || !haveSignature) {
    error = "feed lacks version, build, url, size or ed25519";
    return std::nullopt;
  }
  return feed;
}

std::string renderUpdateFeed(const UpdateFeed& feed) {
  const std::string signature = base64Encode(ByteView(feed.signature.data(), feed.signature.size()));
  return "version=" + feed.version + "\nbuild=" + feed.build + "\nurl=" + feed.url +
         "\nsize=" + std::to_string(feed.size) + "\ned25519=" + signature + "\n";
}

bool isWholeBuildNumber(std::string_view build) {
  return !build.empty() && build.size() <= 18 && build.front() != '0' &&
         std::all_of(build.begin(), build.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isNewerBuild(const std::string& offered, const std::string& running) {
  if (!isWholeBuildNumber(offered) || !isWholeBuildNumber(running)) return false;
  return *wholeNumber(offered) > *wholeNumber(running);
}

}  // namespace tavlo
