#include "host/update/update_installer.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "host/update/exit_install.hpp"
#include "tests/host/update/update_test_files.hpp"
#include "tests/testkit/test_account.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {
namespace fs = std::filesystem;
using testkit::readFile;
using testkit::fileMode;
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
StagedUpdate stage(const fs::path& install, const std::vector<UpdateArchiveFile>& files) {
  std::string error;
  Bytes bytes = writeUpdateArchive(files);
  auto archive = readUpdateArchive(bytes, error);
  EXPECT_TRUE(archive) << error;
  if (!archive) return {};
  Staging staging = stageUpdate(*archive, install);
  EXPECT_TRUE(staging.staged) << staging.failure.value_or("");
  return staging.staged.value_or(StagedUpdate{});
}

// The staging folders beside `install`, whoever made them.
std::vector<fs::path> stagingFolders(const fs::path& install) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(install.parent_path())) {
    if (entry.path().filename().string().rfind("." + install.filename().string() + ".tavlo-update", 0) == 0) {
      found.push_back(entry.path());
    }
  }
  return found;
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
    const StagedUpdate staging = stage(install, {{"tavlo-host", true, "new program"},
                                                 {updateBuildFileName, false, "8\n"},
                                                 {"share/readme.txt", false, "new readme"},
                                                 {"share/new.txt", false, "added"}});
    const auto staged = snapshot(staging.release());

    int operations = 0;
    RenameOperation failing = [&](const fs::path& from, const fs::path& to, unsigned flags) {
      return ++operations == failAt ? EIO : renameWithFlags(from, to, flags);
    };
    const auto failure = installStagedUpdate(staging, install, "7", failing);
    if (operations < failAt) {
      ASSERT_EQ(failure, std::nullopt);
      EXPECT_EQ(snapshot(install), staged);
      EXPECT_TRUE(stagingFolders(install).empty());
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
    const StagedUpdate staged = stage(install, files);
    EXPECT_EQ(checkStagedUpdate(staged, install, "7"),
              std::string(c.failure).substr(0, std::string(c.failure).size() - 9))
        << c.why;
    int operations = 0;
    RenameOperation counting = [&](const fs::path& from, const fs::path& to, unsigned flags) {
      ++operations;
      return renameWithFlags(from, to, flags);
    };
    EXPECT_EQ(installStagedUpdate(staged, install, "7", counting), c.failure) << c.why;
    EXPECT_EQ(operations, 0) << c.why;
    EXPECT_EQ(snapshot(install), before) << c.why;
    EXPECT_TRUE(stagingFolders(install).empty()) << c.why;
  }
}

TEST(UpdateInstaller, AStagingCutShortByTheProcessEndingIsNeverInstalledAndTheNextOneClearsIt) {
  testkit::TempDir dir;
  const fs::path install = dir / "opt";
  fs::create_directories(install);
  writeFile(install / "tavlo-host", "old program");
  std::string error;
  Bytes bytes = writeUpdateArchive({{"tavlo-build", false, "8"}, {"tavlo-host", true, std::string(64 * 1024, 'n')}});
  auto archive = readUpdateArchive(bytes, error);
  ASSERT_TRUE(archive) << error;
  // The child is killed (SIGXFSZ) part-way through writing the program, as a crash or a power cut would.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit noCore{0, 0}, smallFiles{4096, 4096};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::setrlimit(RLIMIT_FSIZE, &smallFiles);
    (void)stageUpdate(*archive, install);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_EQ(stagingFolders(install).size(), 1u);
  JsonStore settings;
  EXPECT_EQ(installStagedUpdateOnExit(std::nullopt, install, "7", settings), ExitInstall::nothingStaged);
  EXPECT_EQ(readFile(install / "tavlo-host"), "old program");

  // The next staging starts afresh, removes what the cut one left, and completes.
  Staging staging = stageUpdate(*archive, install);
  ASSERT_TRUE(staging.staged) << staging.failure.value_or("");
  EXPECT_EQ(stagingFolders(install), std::vector<fs::path>{staging.staged->folder});
  EXPECT_EQ(fileMode(staging.staged->folder), 0700u);
  EXPECT_EQ(installStagedUpdateOnExit(staging.staged, install, "7", settings), ExitInstall::installed);
  EXPECT_EQ(readFile(install / "tavlo-host"), std::string(64 * 1024, 'n'));
  EXPECT_EQ(readFile(install / "tavlo-build"), "8");
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(install), fs::directory_iterator()).size(), 2u);
  EXPECT_TRUE(stagingFolders(install).empty());
}

TEST(UpdateInstaller, AStagedBuildNoNewerThanTheRunningOneIsRemovedNotInstalled) {
  // A newer build was put in place by hand while this process held its staging.
  testkit::TempDir dir;
  const fs::path install = dir / "opt";
  fs::create_directories(install);
  writeFile(install / "tavlo-host", "build 9 program");
  writeFile(install / updateBuildFileName, "9\n");
  const StagedUpdate staged = stage(install, {{"tavlo-host", true, "build 8 program"}, {updateBuildFileName, false, "8\n"}});
  EXPECT_EQ(installStagedUpdate(staged, install, "9"),
            "the staged build 8 is not newer than the running build 9; removed");
  EXPECT_EQ(readFile(install / "tavlo-host"), "build 9 program");
  EXPECT_EQ(readUpdateBuild(install), "9");
  EXPECT_FALSE(fs::exists(staged.folder));
}

// A release folder whose parent every account may write into (a release unpacked under /tmp).
struct SharedParent {
  testkit::TempDir dir;
  fs::path parent = dir / "shared";
  fs::path install = parent / "opt";
  SharedParent() {
    fs::create_directories(install);
    ::chmod(parent.c_str(), 01777);
    writeFile(install / "tavlo-host", "own program");
    writeFile(install / updateBuildFileName, "7\n");
  }
};

TEST(UpdateInstaller, AnotherAccountsPlantedFolderIsNeverInstalledAtExit) {
  testkit::TestAccount other;
  ASSERT_TRUE(other.made()) << "useradd failed";
  SharedParent shared;
  // The name earlier builds staged under, and the names this one stages under: the other account's
  // folders hold a newer build of its own program.
  const std::string prefix = ".opt.tavlo-update";
  for (const std::string& name : {prefix, prefix + ".AAAAAA", prefix + ".partial"}) {
    const fs::path planted = shared.parent / name;
    fs::create_directories(planted);
    writeFile(planted / "tavlo-host", "the other account's program");
    writeFile(planted / updateBuildFileName, "999999\n");
    other.own(planted);
  }
  JsonStore settings;
  // Nothing staged by this process (updates off, or nothing found): nothing is installed.
  EXPECT_EQ(installStagedUpdateOnExit(std::nullopt, shared.install, "7", settings), ExitInstall::nothingStaged);
  EXPECT_EQ(readFile(shared.install / "tavlo-host"), "own program");

  // This process stages a release of its own beside them; only that is installed, and theirs stay
  // where they are, untouched.
  const StagedUpdate staged = stage(shared.install, {{"tavlo-host", true, "verified program"}, {updateBuildFileName, false, "8\n"}});
  EXPECT_EQ(stagingFolders(shared.install).size(), 4u);
  EXPECT_EQ(installStagedUpdateOnExit(staged, shared.install, "7", settings), ExitInstall::installed);
  EXPECT_EQ(readFile(shared.install / "tavlo-host"), "verified program");
  EXPECT_EQ(stagingFolders(shared.install).size(), 3u);
  EXPECT_EQ(settings.getString("tl.updateInstalledBuild"), "8");
  EXPECT_EQ(settings.getString("tl.updateInstalledFromBuild"), "7");
  EXPECT_EQ(settings.getString("tl.updateInstalledFolder"), shared.install.string());
}

TEST(UpdateInstaller, AStagingThatIsNoLongerWhatWasVerifiedIsRefused) {
  testkit::TestAccount other;
  ASSERT_TRUE(other.made()) << "useradd failed";
  const std::vector<UpdateArchiveFile> release{{"tavlo-host", true, "verified program"},
                                               {updateBuildFileName, false, "8\n"},
                                               {"lib/part.so", false, "library"}};
  struct Case {
    const char* why;
    std::function<void(const StagedUpdate&)> tamper;
    const char* failure;
  };
  const Case cases[] = {
      {"the staging folder swapped for a planted one of the same name",
       [&](const StagedUpdate& s) {
         fs::rename(s.folder, s.folder.string() + ".moved");
         fs::create_directories(s.release());
         writeFile(s.release() / "tavlo-host", "the other account's program");
         writeFile(s.release() / updateBuildFileName, "8\n");
         other.own(s.folder);
       },
       "is not the one this process made"},
      {"the staging folder replaced by a link", [](const StagedUpdate& s) {
         fs::rename(s.folder, s.folder.string() + ".moved");
         fs::create_directory_symlink(s.folder.string() + ".moved", s.folder);
       }, "cannot be opened (gone, or a link)"},
      {"the staging folder opened to others", [](const StagedUpdate& s) { ::chmod(s.folder.c_str(), 0755); },
       "is not private to this user"},
      {"a file inside handed to another account", [&](const StagedUpdate& s) { other.own(s.release() / "tavlo-host"); },
       "the staged tavlo-host belongs to uid"},
      {"a folder inside writable by the group", [](const StagedUpdate& s) { ::chmod((s.release() / "lib").c_str(), 0775); },
       "the staged lib is writable by group or others"},
      {"a file inside replaced by a link", [](const StagedUpdate& s) {
         fs::remove(s.release() / "lib/part.so");
         fs::create_symlink("/etc/passwd", s.release() / "lib/part.so");
       }, "the staged lib/part.so is a link"},
      {"a file's bytes changed", [](const StagedUpdate& s) { writeFile(s.release() / "tavlo-host", "changed program"); },
       "the staged files are not the verified ones"},
      {"a file added", [](const StagedUpdate& s) { writeFile(s.release() / "extra", "x"); },
       "the staged files are not the verified ones"},
      {"the program no longer executable", [](const StagedUpdate& s) { ::chmod((s.release() / "tavlo-host").c_str(), 0644); },
       "the staged files are not the verified ones"},
  };
  for (const Case& c : cases) {
    SharedParent shared;
    const StagedUpdate staged = stage(shared.install, release);
    ASSERT_EQ(checkStagedUpdate(staged, shared.install, "7"), std::nullopt) << c.why;
    c.tamper(staged);
    const std::optional<std::string> refused = checkStagedUpdate(staged, shared.install, "7");
    ASSERT_TRUE(refused) << c.why;
    EXPECT_NE(refused->find(c.failure), std::string::npos) << c.why << ": " << *refused;
    JsonStore settings;
    EXPECT_EQ(installStagedUpdateOnExit(staged, shared.install, "7", settings), ExitInstall::failed) << c.why;
    EXPECT_EQ(readFile(shared.install / "tavlo-host"), "own program") << c.why;
    EXPECT_EQ(readUpdateBuild(shared.install), "7") << c.why;
  }
}

}  // namespace
}  // namespace tavlo
