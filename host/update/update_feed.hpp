#pragma once
// The update feed: a short text of `key=value` lines naming the newest build, where its archive is,
// the archive's exact size and the Ed25519 signature of its bytes (Base64):
//   version=0.2
//   build=2
//   url=https://updates.example.org/tavlo-host-2.tar
//   size=1234567
//   ed25519=<Base64 of 64 bytes>
// Blank lines and lines starting with '#' are ignored; an unknown key is ignored too, so later feeds
// can say more.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/crypto/ed25519.hpp"

namespace tavlo {

struct UpdateFeed {
  static constexpr size_t maxBytes = 64 * 1024;  // a feed is a few lines; more is not a feed

  std::string version;
  std::string build;
  std::string url;
  uint64_t size = 0;
  crypto::Ed25519Signature signature{};
};

// The feed in `text`; none, with the reason in `error`, for anything malformed or incomplete.
std::optional<UpdateFeed> parseUpdateFeed(std::string_view text, std::string& error);
std::string renderUpdateFeed(const UpdateFeed& feed);

// Whether `build` is a build number: a whole number from 1 up, in decimal without leading zeros.
bool isWholeBuildNumber(std::string_view build);

// Whether the offered build is newer than the running one: both build numbers, the offered one larger.
// Anything else is not newer: a build that is not a number orders nothing and is never installed.
bool isNewerBuild(const std::string& offered, const std::string& running);

}  // namespace tavlo
