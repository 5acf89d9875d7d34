#pragma once
// Packing a release for publication: the folder the host runs from becomes a signed update archive and
// the feed that announces it. The version and build are the ones stamped into the folder's program,
// and the archive carries them in its "tavlo-build" and "tavlo-version" files, under the signature: a
// host checks the feed against them.
#include <filesystem>
#include <optional>
#include <string>

#include "host/update/update_feed.hpp"
#include "platform/crypto/ed25519.hpp"
#include "platform/runtime/bytes.hpp"

namespace tavlo {

// The program in a release folder whose stamp names the release.
inline constexpr const char* releaseProgramName = "tavlo-host";

struct PackedRelease {
  Bytes archive;
  UpdateFeed feed;
  size_t files = 0;
};

// The release in `folder`, its archive to be served at `archiveUrl`; the failure's text otherwise.
std::optional<std::string> packRelease(const std::filesystem::path& folder, const crypto::Ed25519PrivateKey& key,
                                       const std::string& archiveUrl, PackedRelease& out);

}  // namespace tavlo
