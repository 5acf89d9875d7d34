// The host and the device daemons meet at files of the user's runtime directory, where no other
// account can create them first; a file there that is not a private one of ours is never used, and
// the ring is made afresh in its place.
#include "devices/shared/runtime_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>

#include "devices/shared/cam_mailbox.hpp"
#include "devices/shared/mic_ring.hpp"
#include "host/desktop/mailbox_camera_sinks.hpp"
#include "host/desktop/mic_shm_writer.hpp"
#include "platform/runtime/shared_memory.hpp"
#include "tests/testkit/shared_file_path.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

constexpr uid_t nobody = 65534;

// Sets (or with nullopt unsets) one variable for the scope.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }
  ~ScopedVariable() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::unique_ptr<SharedMemory> readRing(const std::string& path, std::string& error) {
  return SharedMemory::openExisting(path, micring::kTotalBytes, SharedMemory::Access::readOnly, error);
}

TEST(RuntimeFile, BothSidesMeetInTheUsersRuntimeDirectory) {
  testkit::TempDir runtime;
  ScopedVariable variable("XDG_RUNTIME_DIR", runtime.path().string());
  EXPECT_EQ(micring::defaultPath(), (runtime / "tavlo-mic").string());
  EXPECT_EQ(cammailbox::defaultPath(), (runtime / "tavlo-cam").string());
  EXPECT_FALSE(runtimeDirectory()->fallback);
}

TEST(RuntimeFile, WithoutARuntimeDirectoryAPrivateFolderOfTheUsersOwnIsUsedAndSaidSo) {
  testkit::TempDir home;
  ScopedVariable runtime("XDG_RUNTIME_DIR", std::nullopt);
  ScopedVariable cache("XDG_CACHE_HOME", (home / "cache").string());
  std::vector<std::string> lines;
  auto writer = MicShmWriter::create([&](const std::string& line) { lines.push_back(line); });
  ASSERT_TRUE(writer);
  const auto folder = home / "cache/tavlo/run";
  EXPECT_EQ(testkit::fileMode(folder), 0700u);
  EXPECT_EQ(testkit::fileMode(folder / "tavlo-mic"), 0600u);
  EXPECT_EQ(micring::defaultPath(), (folder / "tavlo-mic").string());
  EXPECT_EQ(lines, std::vector<std::string>{"⚠️ brak XDG_RUNTIME_DIR — pierścień mikrofonu i skrzynka kamery w "
                                            "prywatnym katalogu " + folder.string()});
}

// What another account (or a careless program) may have left at the ring's path. The daemon refuses
// it; the host never writes into it but puts a fresh private ring in its place, which then works.
TEST(RuntimeFile, AFileThatIsNotAPrivateOneOfOursIsRefusedAndTheRingStillWorks) {
  struct Row {
    const char* why;
    bool needsRoot;
    std::function<void(const std::string& path, const std::string& elsewhere)> plant;
  } rows[] = {
      {"a ring made first by another user", true,
       [](const std::string& path, const std::string&) {
         ASSERT_TRUE(MicShmWriter::create(path, {}));
         ASSERT_EQ(::chown(path.c_str(), nobody, nobody), 0);
       }},
      {"a ring of ours that others may read", false,
       [](const std::string& path, const std::string&) {
         ASSERT_TRUE(MicShmWriter::create(path, {}));
         ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
       }},
      {"a link to a file elsewhere", false,
       [](const std::string& path, const std::string& elsewhere) {
         ASSERT_TRUE(MicShmWriter::create(elsewhere, {}));
         ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0);
       }},
      {"a FIFO, which must not hang the daemon", false,
       [](const std::string& path, const std::string&) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    if (row.needsRoot && ::geteuid() != 0) {
      ADD_FAILURE() << "handing a file to another user needs root, as the CI runs";
      continue;
    }
    testkit::SharedFilePath ring, other;
    row.plant(ring, other);
    std::string error;
    EXPECT_EQ(readRing(ring, error), nullptr);
    EXPECT_FALSE(error.empty());

    auto writer = MicShmWriter::create(ring, {});
    ASSERT_TRUE(writer);
    writer->write(Bytes(960, 0));  // 480 samples
    struct stat st{};
    ASSERT_EQ(::lstat(ring.str().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto read = readRing(ring, error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(micring::RingView(read->bytes()).writePosition(), 480u) << "the daemon reads the fresh ring";
    if (auto target = readRing(other, error)) {
      EXPECT_EQ(micring::RingView(target->bytes()).writePosition(), 0u) << "nothing written through the link";
    }
  }
}

// The host does not feed a camera mailbox that another user owns, however valid its header.
TEST(RuntimeFile, AMailboxOfAnotherUserIsNotFed) {
  if (::geteuid() != 0) GTEST_FAIL() << "handing a file to another user needs root, as the CI runs";
  testkit::SharedFilePath mailbox;
  std::string error;
  auto memory = SharedMemory::createFresh(mailbox, cammailbox::kTotalBytes, error);
  ASSERT_TRUE(memory) << error;
  cammailbox::MailboxView(memory->bytes()).initialize(1, "TavloCam_UID");
  EXPECT_NE(MailboxCameraSinks(mailbox).find("TavloCam_UID"), nullptr);
  ASSERT_EQ(::chown(mailbox.str().c_str(), nobody, nobody), 0);
  EXPECT_EQ(MailboxCameraSinks(mailbox).find("TavloCam_UID"), nullptr);
}

// The folder is what keeps other accounts out: one they can write into, or a link, is not used at all.
TEST(RuntimeFile, AFolderThatIsNotTheUsersPrivateOneIsRefused) {
  struct Row {
    const char* why;
    bool needsRoot;
    std::function<std::string(const std::string& folder)> prepare;  // returns the ring's path
  } rows[] = {
      {"a folder open to everyone", false,
       [](const std::string& folder) {
         if (::chmod(folder.c_str(), 01777) != 0) ADD_FAILURE() << "chmod";
         return folder + "/tavlo-mic";
       }},
      {"a folder of another user", true,
       [](const std::string& folder) {
         if (::chown(folder.c_str(), nobody, nobody) != 0) ADD_FAILURE() << "chown";
         return folder + "/tavlo-mic";
       }},
      {"a link to a private folder", false,
       [](const std::string& folder) {
         const std::string link = folder + "-link";
         if (::symlink(folder.c_str(), link.c_str()) != 0) ADD_FAILURE() << "symlink";
         return link + "/tavlo-mic";
       }},
      {"no runtime directory at all", false, [](const std::string&) { return std::string(); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    if (row.needsRoot && ::geteuid() != 0) {
      ADD_FAILURE() << "handing a folder to another user needs root, as the CI runs";
      continue;
    }
    testkit::SharedFilePath place;
    const std::string path = row.prepare(place.folder());
    std::vector<std::string> lines;
    EXPECT_EQ(MicShmWriter::create(path, [&](const std::string& line) { lines.push_back(line); }), nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("🎙 ❌ pierścień mikrofonu niedostępny: ", 0), 0u) << lines[0];
    ::unlink((place.folder() + "-link").c_str());
  }
}

}  // namespace
}  // namespace tavlo
