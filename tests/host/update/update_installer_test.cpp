#include "host/update/update_installer.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/host/update/update_test_files.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {
namespace fs = std::filesystem;
using testkit::readFile;
using testkit::writeFile;

TEST(UpdateInstaller, AnInstallThatCannotCompleteLeavesTheOldProgramInPlace) {
  testkit::TempDir dir;
  const fs::path install = dir / "opt";
  fs::create_directories(install / "share");  // a folder where the update has a file
  writeFile(install / "tavlo-host", "old program");
  std::string error;
  Bytes bytes = writeUpdateArchive({{"tavlo-host", true, "new program"}, {"share", false, "x"}});
  auto archive = readUpdateArchive(bytes, error);
  ASSERT_TRUE(archive) << error;
  const fs::path staging = updateStagingDir(install);
  ASSERT_EQ(stageUpdate(*archive, staging), std::nullopt);
  EXPECT_TRUE(hasStagedUpdate(staging));
  EXPECT_NE(installStagedUpdate(staging, install, "7"), std::nullopt);
  EXPECT_EQ(readFile(install / "tavlo-host"), "old program");
  EXPECT_TRUE(fs::is_directory(install / "share"));
}

TEST(UpdateInstaller, AStagingCutShortByTheProcessEndingIsNeverInstalled) {
  testkit::TempDir dir;
  const fs::path install = dir / "opt";
  fs::create_directories(install);
  writeFile(install / "tavlo-host", "old program");
  std::string error;
  Bytes bytes = writeUpdateArchive({{"tavlo-build", false, "8"}, {"tavlo-host", true, std::string(64 * 1024, 'n')}});
  auto archive = readUpdateArchive(bytes, error);
  ASSERT_TRUE(archive) << error;
  const fs::path staging = updateStagingDir(install);
  // The child is killed (SIGXFSZ) part-way through writing the program, as a crash or a power cut would.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit noCore{0, 0}, smallFiles{4096, 4096};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::setrlimit(RLIMIT_FSIZE, &smallFiles);
    (void)stageUpdate(*archive, staging);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(hasStagedUpdate(staging));
  EXPECT_EQ(installStagedUpdate(staging, install, "7"), std::nullopt);
  EXPECT_EQ(readFile(install / "tavlo-host"), "old program");
  EXPECT_FALSE(fs::exists(install / "tavlo-build"));

  // The next staging starts afresh and completes.
  ASSERT_EQ(stageUpdate(*archive, staging), std::nullopt);
  EXPECT_TRUE(hasStagedUpdate(staging));
  EXPECT_EQ(installStagedUpdate(staging, install, "7"), std::nullopt);
  EXPECT_EQ(readFile(install / "tavlo-host"), std::string(64 * 1024, 'n'));
  EXPECT_EQ(readFile(install / "tavlo-build"), "8");
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(install), fs::directory_iterator()).size(), 2u);
}

TEST(UpdateInstaller, AStagedBuildNoNewerThanTheRunningOneIsRemovedNotInstalled) {
  // A staging left by a process that ended before installing it, while a newer build was put in place.
  testkit::TempDir dir;
  const fs::path install = dir / "opt";
  fs::create_directories(install);
  writeFile(install / "tavlo-host", "build 9 program");
  writeFile(install / updateBuildFileName, "9\n");
  std::string error;
  Bytes bytes = writeUpdateArchive({{"tavlo-host", true, "build 8 program"}, {updateBuildFileName, false, "8\n"}});
  auto archive = readUpdateArchive(bytes, error);
  ASSERT_TRUE(archive) << error;
  const fs::path staging = updateStagingDir(install);
  ASSERT_EQ(stageUpdate(*archive, staging), std::nullopt);
  EXPECT_EQ(installStagedUpdate(staging, install, "9"),
            "the staged build 8 is not newer than the running build 9; removed");
  EXPECT_EQ(readFile(install / "tavlo-host"), "build 9 program");
  EXPECT_EQ(readUpdateBuild(install), "9");
  EXPECT_FALSE(fs::exists(staging));
}

}  // namespace
}  // namespace tavlo
