#include "host/update/host_release.hpp"

#include <gtest/gtest.h>

#include "host/update/update_archive.hpp"
#include "host/update/update_installer.hpp"
#include "host/update/update_publisher.hpp"
#include "platform/runtime/private_files.hpp"
#include "tests/host/update/update_test_files.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {
namespace fs = std::filesystem;

TEST(HostRelease, TheBuiltHostIsTheReleaseItsPublishedArchiveAnnounces) {
  // A release published as the README says must not look newer to the very program it packs: a host
  // that took it for an update would download, install and restart into itself for ever.
  const HostRelease& own = runningRelease();
  EXPECT_TRUE(isWholeBuildNumber(own.build)) << own.build;
  EXPECT_NE(own.version, "?");
  std::optional<Bytes> program = readWholeFile(TAVLO_HOST_PROGRAM);
  ASSERT_TRUE(program);
  ASSERT_EQ(readReleaseStamp(*program), own);

  // Packed as the publishing tool packs it (a program of the stamp's bytes alone: a sanitizer build of
  // the real one is larger than an archive may be).
  testkit::TempDir dir;
  fs::create_directories(dir / "release");
  testkit::writeFile(dir / "release" / releaseProgramName, "\x7f" "ELF" + releaseStamp(*readReleaseStamp(*program)));
  testkit::writeFile(dir / "release" / updateBuildFileName, "999\n");  // a stale file is not what is packed
  PackedRelease packed;
  auto key = crypto::Ed25519PrivateKey::generate();
  ASSERT_EQ(packRelease(dir / "release", *key, "https://updates.example.org/tavlo.tar", packed), std::nullopt);
  EXPECT_EQ(packed.feed.build, own.build);
  EXPECT_EQ(packed.feed.version, own.version);
  EXPECT_FALSE(isNewerBuild(packed.feed.build, own.build));
  std::string error;
  auto archive = readUpdateArchive(packed.archive, error);
  ASSERT_TRUE(archive) << error;
  std::map<std::string, std::string> files;
  for (const auto& entry : archive->entries) files[entry.path] = toString(entry.data);
  EXPECT_EQ(files[updateBuildFileName], own.build + "\n");
  EXPECT_EQ(files[updateVersionFileName], own.version + "\n");
}

TEST(HostRelease, AStampIsReadOnlyWhenItIsWholeAndTheOnlyOne) {
  const std::string good = releaseStamp({"1.8", "8"});
  struct Case {
    const char* why;
    std::string bytes;
    std::optional<HostRelease> release;
  };
  const Case cases[] = {
      {"one stamp among other bytes", std::string("\x7f" "ELF\0\0", 6) + good + std::string(3, '\0'), HostRelease{"1.8", "8"}},
      {"the same stamp twice", good + "x" + good, HostRelease{"1.8", "8"}},
      {"no stamp", "just a program", std::nullopt},
      {"the bare prefix a program that looks for stamps carries", std::string("@(#)tavlo-release version=\0", 27),
       std::nullopt},
      {"two stamps that disagree", good + releaseStamp({"1.9", "9"}), std::nullopt},
      {"a build that is not a number", releaseStamp({"1.8", "8b"}), std::nullopt},
      {"a build with a leading zero", releaseStamp({"1.8", "08"}), std::nullopt},
      {"a version with a space", releaseStamp({"1 8", "8"}), std::nullopt},
      {"cut short", good.substr(0, good.size() - 1), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(readReleaseStamp(toBytes(c.bytes)), c.release) << c.why;
}

}  // namespace
}  // namespace tavlo
