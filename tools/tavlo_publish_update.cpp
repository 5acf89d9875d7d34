// tavlo-publish-update: makes the signing key of host updates, and packs a folder into a signed update
// archive with its feed.
//   tavlo-publish-update keygen KEY_FILE
//     writes a new private key (Base64 seed, mode 0600) and prints the public key for the build option
//     -DTAVLO_UPDATE_PUBLIC_KEY=...
//   tavlo-publish-update pack KEY_FILE FOLDER VERSION BUILD ARCHIVE_URL OUT_ARCHIVE OUT_FEED
//     packs the folder's files (the host program and what lies beside it) and a "tavlo-build" file
//     naming BUILD, signs the archive and writes the feed that points at ARCHIVE_URL.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "host/update/feed_update_engine.hpp"
#include "host/update/update_archive.hpp"
#include "host/update/update_download.hpp"
#include "host/update/update_feed.hpp"
#include "host/update/update_installer.hpp"
#include "platform/crypto/ed25519.hpp"
#include "platform/runtime/base64.hpp"
#include "platform/runtime/private_files.hpp"

namespace fs = std::filesystem;
using namespace tavlo;

namespace {

int usage() {
  std::fputs(
      "usage: tavlo-publish-update keygen KEY_FILE\n"
      "       tavlo-publish-update pack KEY_FILE FOLDER VERSION BUILD ARCHIVE_URL OUT_ARCHIVE OUT_FEED\n",
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
  const fs::path folder = args[1];
  UpdateFeed feed{.version = args[2], .build = args[3], .url = args[4], .size = 0, .signature = {}};
  if (!isAllowedUpdateUrl(feed.url)) return fail("the archive address must be https://");
  std::vector<UpdateArchiveFile> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_symlink()) return fail("links are not packed: " + it->path().string());
    if (!it->is_regular_file()) continue;
    std::string path = it->path().lexically_relative(folder).generic_string();
    if (path == updateBuildFileName) continue;
    if (path.size() > 100) return fail("path longer than 100 bytes: " + path);
    const bool executable = (it->status().permissions() & fs::perms::owner_exec) != fs::perms::none;
    std::optional<Bytes> contents = readWholeFile(it->path());
    if (!contents) return fail("cannot read " + it->path().string());
    files.push_back({path, executable, toString(*contents)});
  }
  if (ec) return fail("cannot read " + folder.string() + ": " + ec.message());
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
  files.push_back({updateBuildFileName, false, feed.build + "\n"});
  Bytes archive = writeUpdateArchive(files);
  if (archive.size() > FeedUpdateEngineConfig::defaultMaxArchiveBytes) {
    return fail("the archive of " + std::to_string(archive.size()) + " bytes is larger than hosts accept (" +
                std::to_string(FeedUpdateEngineConfig::defaultMaxArchiveBytes) + ")");
  }
  std::string error;
  if (!readUpdateArchive(archive, error)) return fail("the packed archive does not read back: " + error);
  auto signature = key->sign(archive);
  if (!signature) return fail("cannot sign");
  feed.size = archive.size();
  feed.signature = *signature;
  if (!writeAll(args[5], std::string(archive.begin(), archive.end()))) return fail("cannot write the archive");
  if (!writeAll(args[6], renderUpdateFeed(feed))) return fail("cannot write the feed");
  std::printf("packed %zu files, %zu bytes, build %s\n", files.size(), archive.size(), feed.build.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "keygen") return keygen(argv[2]);
  if (argc == 9 && std::string(argv[1]) == "pack") return pack(argv + 2);
  return usage();
}
