#include "host/update/host_release.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "host/update/update_feed.hpp"

#ifndef TAVLO_RELEASE_VERSION
#error "the build names the release: TAVLO_RELEASE_VERSION and TAVLO_RELEASE_BUILD"
#endif

namespace tavlo {
namespace {

// A what-string ("@(#)"), found in the program's bytes by the publishing tool.
constexpr std::string_view stampPrefix = "@(#)tavlo-release version=";
constexpr std::string_view buildKey = " build=";
constexpr size_t maxVersionBytes = 32;

// This program's stamp; kept in the file even though only runningRelease() reads it here.
[[gnu::used]] const char ownStamp[] = "@(#)tavlo-release version=" TAVLO_RELEASE_VERSION " build=" TAVLO_RELEASE_BUILD "\n";

bool versionCharacter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != '\0' && std::strchr(".+-~_", c) != nullptr);
}

// The release at the start of `text` (just after the prefix); none unless a whole stamp is there.
std::optional<HostRelease> parseStamp(std::string_view text) {
  const size_t versionEnd = std::min(text.find(buildKey), maxVersionBytes + 1);
  if (versionEnd == 0 || versionEnd > maxVersionBytes) return std::nullopt;
  HostRelease release{std::string(text.substr(0, versionEnd)), {}};
  if (!std::all_of(release.version.begin(), release.version.end(), versionCharacter)) return std::nullopt;
  text.remove_prefix(versionEnd + buildKey.size());
  const size_t buildEnd = text.find('\n');
  if (buildEnd == std::string_view::npos) return std::nullopt;
  release.build = text.substr(0, buildEnd);
  if (!isWholeBuildNumber(release.build)) return std::nullopt;
  return release;
}

}  // namespace

const HostRelease& runningRelease() {
  static const HostRelease release = [] {
    const std::string_view stamp(ownStamp);
    return parseStamp(stamp.substr(stampPrefix.size())).value_or(HostRelease{"?", "0"});
  }();
  return release;
}

std::optional<HostRelease> readReleaseStamp(ByteView program) {
  const std::string_view bytes(reinterpret_cast<const char*>(program.data()), program.size());
  std::optional<HostRelease> found;
  for (size_t at = bytes.find(stampPrefix); at != std::string_view::npos; at = bytes.find(stampPrefix, at + 1)) {
    // The prefix alone also stands in a program that looks for stamps: only a whole stamp counts.
    std::optional<HostRelease> release = parseStamp(bytes.substr(at + stampPrefix.size(), 128));
    if (!release) continue;
    if (found && *found != *release) return std::nullopt;
    found = std::move(release);
  }
  return found;
}

std::string releaseStamp(const HostRelease& release) {
  return std::string(stampPrefix) + release.version + std::string(buildKey) + release.build + "\n";
}

}  // namespace tavlo
