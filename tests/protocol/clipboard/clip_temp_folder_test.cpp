#include "protocol/clipboard/clip_temp_folder.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "protocol/byte_reader.hpp"
#include "protocol/clipboard/clip_file_name.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace vela {
namespace {

namespace fs = std::filesystem;
using tavlo::testkit::fileMode;
using tavlo::testkit::TempDir;

TEST(ClipFileName, APeerNameBecomesOneHarmlessComponent) {
  struct Row { std::string name; std::string expected; const char* why; };
  const Row rows[] = {
      {"report.pdf", "report.pdf", "an ordinary name is kept"},
      {"Zdjęcie 1.heic", "Zdjęcie 1.heic", "non-ASCII letters and spaces are kept"},
      {"../../etc/passwd", "passwd", "parent steps are dropped with the rest of the path"},
      {"/etc/shadow", "shadow", "an absolute path keeps its last component only"},
      {"..\\..\\Windows\\win.ini", "win.ini", "backslashes separate components too"},
      {"docs/report.pdf/", "report.pdf", "a trailing separator does not empty the name"},
      {"..", "clip", "the parent directory name becomes neutral"},
      {".", "clip", "the current directory name becomes neutral"},
      {"a/..", "clip", "a last component of .. becomes neutral"},
      {".\x01.", "clip", "controls removed around dots still give a neutral name"},
      {"", "clip", "an empty name becomes neutral"},
      {"///", "clip", "only separators becomes neutral"},
      {std::string("evil\0name", 9), "evilname", "NUL is removed, not a place to cut the name"},
      {"line\nbreak\ttab\x7F", "linebreaktab", "C0 controls and DEL are removed"},
      {"c1\xC2\x85next", "c1next", "C1 controls (NEL) are removed"},
      {"bad\xFF\xFEutf8", "bad\xEF\xBF\xBD\xEF\xBF\xBDutf8", "invalid UTF-8 is repaired, not passed on"},
      {".bashrc", ".bashrc", "a leading dot is harmless inside the private folder"},
  };
  for (const auto& row : rows) EXPECT_EQ(sanitizeClipFileName(row.name), row.expected) << row.why;
}

TEST(ClipFileName, LongNamesAreCutOnACharacterBoundary) {
  const std::string e = "\xC3\xA9";  // é
  std::string ascii(300, 'a');
  EXPECT_EQ(sanitizeClipFileName(ascii), std::string(255, 'a'));

  std::string accents;
  for (int i = 0; i < 200; ++i) accents += e;  // 400 bytes
  std::string cut = sanitizeClipFileName(accents);
  EXPECT_EQ(cut.size(), 254u) << "255 would split the 128th é";
  EXPECT_EQ(ByteReader::repairedUtf8(tavlo::toBytes(cut)), cut) << "still valid UTF-8";

  std::string name = std::string(216, 'x') + "\xF0\x9F\x93\x8B";  // 216 + a 4-byte emoji
  std::string file = clipTempFileName(name);
  EXPECT_LE(file.size(), maxFileNameBytes);
  EXPECT_EQ(file.substr(37), std::string(216, 'x')) << "the emoji does not fit after the UUID and is dropped whole";
}

TEST(ClipFileName, TempNamesAreUuidDashNameOrClipDashUuid) {
  std::string named = clipTempFileName("../a.txt");
  ASSERT_EQ(named.size(), 36u + 1 + 5);
  EXPECT_EQ(named.substr(36), "-a.txt");
  EXPECT_EQ(named[14], '4') << "a version 4 UUID";

  std::string unnamed = clipTempFileName("");
  EXPECT_EQ(unnamed.substr(0, 5), "clip-");
  EXPECT_EQ(unnamed.size(), 5u + 36);
  EXPECT_NE(clipTempFileName(""), unnamed) << "every name is fresh";
}

TEST(ClipTempFolder, CreatesA0700FolderAnd0600FilesThatHostileNamesCannotLeave) {
  TempDir dir;
  ClipTempFolder folder(dir / "nested" / "tl-clip");
  const char* hostile[] = {"../../escape", "/tmp/abs", "..", "..\\..\\x", "a/../../b", "sub/dir/"};
  for (const char* name : hostile) {
    auto created = folder.createFile(name);
    ASSERT_TRUE(created.file) << name << ": " << created.error;
    EXPECT_EQ(created.path.parent_path(), folder.path()) << name;
    EXPECT_EQ(fileMode(created.path), 0600u) << name;
    EXPECT_TRUE(fs::is_regular_file(created.path)) << name;
  }
  EXPECT_EQ(fileMode(folder.path()), 0700u);
  size_t inside = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir.path())) inside += entry.is_regular_file();
  EXPECT_EQ(inside, std::size(hostile)) << "nothing was written anywhere but the folder";
}

TEST(ClipTempFolder, TightensAnExistingFolderAndRefusesASymbolicLink) {
  TempDir dir;
  fs::create_directory(dir / "loose");
  ::chmod((dir / "loose").c_str(), 0777);
  EXPECT_TRUE(ClipTempFolder(dir / "loose").createFile("a").file);
  EXPECT_EQ(fileMode(dir / "loose"), 0700u);

  fs::create_directory(dir / "elsewhere");
  fs::create_directory_symlink(dir / "elsewhere", dir / "link");
  auto created = ClipTempFolder(dir / "link").createFile("a");
  EXPECT_FALSE(created.file);
  EXPECT_FALSE(created.error.empty());
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere")) << "nothing was created through the link";
}

TEST(ClipTempFolder, LeftoversAreRemovedOnlyFromAFolderThatIsOursAndNothingInsideIsFollowed) {
  TempDir dir;
  auto fill = [](const fs::path& folder) {
    fs::create_directories(folder / "out" / "placed");
    ::chmod(folder.c_str(), 0700);
    for (const fs::path& file : {folder / "clip-1", folder / "out" / "placed" / "report.pdf"}) {
      std::ofstream(file) << "x";
    }
  };
  // What a link inside points at is somebody else's: it stays.
  fs::create_directory(dir / "outside");
  std::ofstream(dir / "outside" / "keep.txt") << "keep";

  fill(dir / "ours");
  fs::create_directory_symlink(dir / "outside", dir / "ours" / "out" / "link");
  auto leftovers = ClipTempFolder(dir / "ours").removeLeftovers();
  EXPECT_FALSE(leftovers.refusal) << *leftovers.refusal;
  EXPECT_EQ(leftovers.removed, 3u) << "two files and the link";
  EXPECT_TRUE(fs::is_empty(dir / "ours"));
  EXPECT_EQ(fileMode(dir / "ours"), 0700u);
  EXPECT_TRUE(fs::exists(dir / "outside" / "keep.txt"));

  struct Row {
    const char* why;
    std::function<fs::path()> make;
    fs::path untouched;  // a file that must still be there
  };
  const Row rows[] = {
      {"a folder open to others is not ours alone", [&] { fill(dir / "loose"); ::chmod((dir / "loose").c_str(), 0755);
                                                         return dir / "loose"; }, dir / "loose" / "clip-1"},
      {"a link to a private folder is not followed", [&] { fill(dir / "target");
                                                           fs::create_directory_symlink(dir / "target", dir / "link");
                                                           return dir / "link"; }, dir / "target" / "clip-1"},
      {"a file in the folder's place", [&] { std::ofstream(dir / "plain") << "x"; return dir / "plain"; }, dir / "plain"},
  };
  for (const Row& row : rows) {
    auto refused = ClipTempFolder(row.make()).removeLeftovers();
    EXPECT_TRUE(refused.refusal) << row.why;
    EXPECT_EQ(refused.removed, 0u) << row.why;
    EXPECT_TRUE(fs::exists(row.untouched)) << row.why;
  }
  auto missing = ClipTempFolder(dir / "missing").removeLeftovers();
  EXPECT_FALSE(missing.refusal) << "a missing folder has nothing to remove";
  EXPECT_EQ(missing.removed, 0u);
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ClipTempFolder, TheDefaultFolderIsTheHostsOwnBesideItsInstanceLockNotAShareableName) {
  TempDir dir;
  fs::create_directories(dir / "tmp");
  fs::create_directories(dir / "run-a");
  fs::create_directories(dir / "run-b");
  ::chmod((dir / "run-a").c_str(), 0700);
  ::chmod((dir / "run-b").c_str(), 0700);
  ScopedVariable tmp("TMPDIR", (dir / "tmp").string());
  // Another account creates the names a folder in the temporary directory could have first.
  constexpr uid_t stranger = 54321;
  for (const std::string& name : {"tl-clip-" + std::to_string(::geteuid()), std::string("tl-clip"), std::string("clip")}) {
    fs::create_directories(dir / "tmp" / name);
    ASSERT_EQ(::chown((dir / "tmp" / name).c_str(), stranger, stranger), 0);
  }

  ScopedVariable runtimeA("XDG_RUNTIME_DIR", (dir / "run-a").string());
  const ClipTempFolder first;
  EXPECT_EQ(first.path(), dir / "run-a" / "tavlo" / "clip");
  auto created = first.createFile("large.bin");
  ASSERT_TRUE(created.file) << created.error;
  EXPECT_EQ(fileMode(first.path()), 0700u);

  // A second host of the same user with another runtime folder has its own folder: its clean-up at
  // start leaves the first host's file alone.
  ScopedVariable runtimeB("XDG_RUNTIME_DIR", (dir / "run-b").string());
  const ClipTempFolder second;
  EXPECT_NE(second.path(), first.path());
  ASSERT_TRUE(second.createFile("other.bin").file);
  EXPECT_EQ(second.removeLeftovers().removed, 1u);
  EXPECT_TRUE(fs::exists(created.path)) << "the other host's clean-up removed a file it is receiving";
}

TEST(ClipTempFolder, WithoutAPrivateFolderEveryFileFailsWithTheReason) {
  const ClipTempFolder none{fs::path()};
  auto created = none.createFile("a");
  EXPECT_FALSE(created.file);
  EXPECT_NE(created.error.find("no private folder"), std::string::npos) << created.error;
  EXPECT_EQ(none.removeLeftovers().removed, 0u);
}

}  // namespace
}  // namespace vela
