#include "host/update/update_installer.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/host/update/update_test_files.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {
namespace fs = std::filesystem;
using testkit::readFile;
using testkit::writeFile;

// Every file under `folder` with its bytes and mode, and every sub-folder.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string path = entry.path().lexically_relative(folder).string();
    const auto mode = std::to_string(static_cast<unsigned>(entry.symlink_status().permissions()));
    files[path] = entry.is_directory() ? "folder " + mode : mode + " " + readFile(entry.path());
  }
  return files;
}

// Stages `files` for the install folder `install`.
void stage(const fs::path& install, const std::vector<UpdateArchiveFile>& files) {
  std::string error;
  Bytes bytes = writeUpdateArchive(files);
  auto archive = readUpdateArchive(bytes, error);
  ASSERT_TRUE(archive) << error;
  ASSERT_EQ(stageUpdate(*archive, updateStagingDir(install)), std::nullopt);
}

TEST(UpdateInstaller, AnInstallThatFailsAtAnyStepLeavesTheOldReleaseExactlyAsItWas) {
  // Each run fails the installer's n-th file operation, until a run has fewer operations than that.
  for (int failAt = 1;; ++failAt) {
    testkit::TempDir dir;
    const fs::path install = dir / "opt";
    fs::create_directories(install / "share");
    fs::create_directories(install / "lib");
    writeFile(install / "tavlo-host", "old program");
    writeFile(install / updateBuildFileName, "7\n");
    writeFile(install / "share/readme.txt", "old readme");
    writeFile(install / "lib/old.so", "old library");
    const auto before = snapshot(install);
    stage(install, {{"tavlo-host", true, "new program"},
                    {updateBuildFileName, false, "8\n"},
                    {"share/readme.txt", false, "new readme"},
                    {"share/new.txt", false, "added"}});
    const auto staged = snapshot(updateStagingDir(install));

    int operations = 0;
    RenameOperation failing = [&](const fs::path& from, const fs::path& to, unsigned flags) {
      return ++operations == failAt ? EIO : renameWithFlags(from, to, flags);
    };
    const auto failure = installStagedUpdate(updateStagingDir(install), install, "7", failing);
    if (operations < failAt) {
      ASSERT_EQ(failure, std::nullopt);
      EXPECT_EQ(snapshot(install), staged);
      EXPECT_FALSE(fs::exists(updateStagingDir(install)));
      EXPECT_GE(failAt, 2) << "the install made no file operation";
      break;
    }
    ASSERT_TRUE(failure) << "operation " << failAt;
    EXPECT_EQ(snapshot(install), before) << "operation " << failAt << " failed: " << *failure;
    EXPECT_NE(failure->find("nothing installed"), std::string::npos) << *failure;
  }
}

TEST(UpdateInstaller, OnlyAStagedBuildNumberNewerThanTheRunningOneIsInstalled) {
  struct Case {
    const char* why;
    std::optional<std::string> stagedBuild;
    const char* failure;
  };
  const Case cases[] = {
      {"the running build itself", "7\n", "the staged build 7 is not newer than the running build 7; removed"},
      {"an older build", "6\n", "the staged build 6 is not newer than the running build 7; removed"},
      {"a build that is not a number", "8b\n", "the staged build 8b is not a build number; removed"},
      {"a build with a leading zero", "08\n", "the staged build 08 is not a build number; removed"},
      {"no build file", std::nullopt, "the staged update names no build; removed"},
  };
  for (const Case& c : cases) {
    testkit::TempDir dir;
    const fs::path install = dir / "opt";
    fs::create_directories(install);
    writeFile(install / "tavlo-host", "old program");
    const auto before = snapshot(install);
    std::vector<UpdateArchiveFile> files{{"tavlo-host", true, "other program"}};
    if (c.stagedBuild) files.push_back({updateBuildFileName, false, *c.stagedBuild});
    stage(install, files);
    EXPECT_EQ(checkStagedUpdate(updateStagingDir(install), install, "7"),
              std::string(c.failure).substr(0, std::string(c.failure).size() - 9))
        << c.why;
    int operations = 0;
    RenameOperation counting = [&](const fs::path& from, const fs::path& to, unsigned flags) {
      ++operations;
      return renameWithFlags(from, to, flags);
    };
    EXPECT_EQ(installStagedUpdate(updateStagingDir(install), install, "7", counting), c.failure) << c.why;
    EXPECT_EQ(operations, 0) << c.why;
    EXPECT_EQ(snapshot(install), before) << c.why;
    EXPECT_FALSE(fs::exists(updateStagingDir(install))) << c.why;
  }
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
