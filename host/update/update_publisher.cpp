#include "host/update/update_publisher.hpp"

#include <algorithm>
#include <vector>

#include "host/update/feed_update_engine.hpp"
#include "host/update/host_release.hpp"
#include "host/update/update_archive.hpp"
#include "host/update/update_download.hpp"
#include "host/update/update_installer.hpp"
#include "platform/runtime/private_files.hpp"

namespace tavlo {
namespace fs = std::filesystem;

std::optional<std::string> packRelease(const fs::path& folder, const crypto::Ed25519PrivateKey& key,
                                       const std::string& archiveUrl, PackedRelease& out) {
  if (!isAllowedUpdateUrl(archiveUrl)) return "the archive address must be https://, or http:// to this machine";
  const std::optional<Bytes> program = readWholeFile(folder / releaseProgramName);
  if (!program) return "no " + std::string(releaseProgramName) + " in " + folder.string();
  const std::optional<HostRelease> release = readReleaseStamp(*program);
  if (!release) return (folder / releaseProgramName).string() + " carries no release stamp (version and build)";

  std::vector<UpdateArchiveFile> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_symlink()) return "links are not packed: " + it->path().string();
    if (!it->is_regular_file()) continue;
    std::string path = it->path().lexically_relative(folder).generic_string();
    if (path == updateBuildFileName || path == updateVersionFileName) continue;  // written from the stamp
    if (path.size() > 100) return "path longer than 100 bytes: " + path;
    const bool executable = (it->status().permissions() & fs::perms::owner_exec) != fs::perms::none;
    std::optional<Bytes> contents = readWholeFile(it->path());
    if (!contents) return "cannot read " + it->path().string();
    files.push_back({path, executable, toString(*contents)});
  }
  if (ec) return "cannot read " + folder.string() + ": " + ec.message();
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
  files.push_back({updateBuildFileName, false, release->build + "\n"});
  files.push_back({updateVersionFileName, false, release->version + "\n"});

  Bytes archive = writeUpdateArchive(files);
  if (archive.size() > FeedUpdateEngineConfig::defaultMaxArchiveBytes) {
    return "the archive of " + std::to_string(archive.size()) + " bytes is larger than hosts accept (" +
           std::to_string(FeedUpdateEngineConfig::defaultMaxArchiveBytes) + ")";
  }
  std::string error;
  if (!readUpdateArchive(archive, error)) return "the packed archive does not read back: " + error;
  std::optional<crypto::Ed25519Signature> signature = key.sign(archive);
  if (!signature) return "cannot sign";
  out.feed = UpdateFeed{.version = release->version,
                        .build = release->build,
                        .url = archiveUrl,
                        .size = archive.size(),
                        .signature = *signature};
  out.archive = std::move(archive);
  out.files = files.size();
  return std::nullopt;
}

}  // namespace tavlo
