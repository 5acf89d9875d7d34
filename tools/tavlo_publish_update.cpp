// tavlo-publish-update: makes the signing key of host updates, and packs a folder into a signed update
// archive with its feed.
//   tavlo-publish-update keygen KEY_FILE
//     writes a new private key (Base64 seed, mode 0600) and prints the public key for the build option
//     -DTAVLO_UPDATE_PUBLIC_KEY=...
//   tavlo-publish-update pack KEY_FILE FOLDER ARCHIVE_URL OUT_ARCHIVE OUT_FEED
//     packs the folder's files (the host program and what lies beside it) with "tavlo-build" and
//     "tavlo-version" files naming the release stamped into FOLDER/tavlo-host by its build, signs the
//     archive and writes the feed that points at ARCHIVE_URL.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "host/update/update_feed.hpp"
#include "host/update/update_publisher.hpp"
#include "platform/crypto/ed25519.hpp"
#include "platform/runtime/base64.hpp"
#include "platform/runtime/private_files.hpp"

namespace fs = std::filesystem;
using namespace tavlo;

namespace {

int usage() {
  std::fputs(
      "usage: tavlo-publish-update keygen KEY_FILE\n"
      "       tavlo-publish-update pack KEY_FILE FOLDER ARCHIVE_URL OUT_ARCHIVE OUT_FEED\n"
      "(the version and build are the ones FOLDER/tavlo-host was built with)\n",
      stderr);
  return 2;
}

int fail(const std::string& text) {
  std::fprintf(stderr, "tavlo-publish-update: %s\n", text.c_str());
  return 1;
}

bool writeAll(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

int keygen(const fs::path& keyFile) {
  auto key = crypto::Ed25519PrivateKey::generate();
  if (!key) return fail("cannot make a key");
  const auto& seed = key->seed();
  ::umask(077);
  if (fs::exists(keyFile)) return fail(keyFile.string() + " exists; not overwriting a signing key");
  if (!writeAll(keyFile, base64Encode(ByteView(seed.data(), seed.size)) + "\n")) return fail("cannot write key");
  const auto& pub = key->publicKey();
  std::printf("%s\n", base64Encode(ByteView(pub.data(), pub.size())).c_str());
  return 0;
}

int pack(char** args) {
  std::string seedText = toString(readWholeFile(args[0]).value_or(Bytes()));
  seedText.erase(std::remove_if(seedText.begin(), seedText.end(), [](char c) { return c == '\n' || c == '\r'; }),
                 seedText.end());
  auto seed = base64Decode(seedText);
  auto key = seed ? crypto::Ed25519PrivateKey::fromSeed(*seed) : std::nullopt;
  if (!key) return fail("the key file holds no key");
  PackedRelease release;
  if (auto failure = packRelease(args[1], *key, args[2], release)) return fail(*failure);
  if (!writeAll(args[3], toString(release.archive))) return fail("cannot write the archive");
  if (!writeAll(args[4], renderUpdateFeed(release.feed))) return fail("cannot write the feed");
  std::printf("packed %zu files, %zu bytes, version %s, build %s\n", release.files, release.archive.size(),
              release.feed.version.c_str(), release.feed.build.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "keygen") return keygen(argv[2]);
  if (argc == 7 && std::string(argv[1]) == "pack") return pack(argv + 2);
  return usage();
}
