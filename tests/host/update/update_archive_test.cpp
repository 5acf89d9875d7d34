#include "host/update/update_archive.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/host/update/update_test_files.hpp"

namespace tavlo {
namespace {
using testkit::goodFiles;

TEST(UpdateArchive, RefusesWhatCouldEscapeOrIsIncomplete) {
  Bytes good = writeUpdateArchive(goodFiles);
  auto withType = [&](char type) {
    Bytes b = writeUpdateArchive({{"link", false, ""}});
    b[156] = static_cast<uint8_t>(type);
    uint64_t sum = 0;
    for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : b[i];
    std::snprintf(reinterpret_cast<char*>(b.data() + 148), 8, "%06o", static_cast<unsigned>(sum));
    return b;
  };
  Bytes badChecksum = good;
  badChecksum[10] ^= 1;
  struct Case {
    const char* why;
    Bytes bytes;
    bool valid;
  };
  const Case cases[] = {
      {"a well-formed archive", good, true},
      {"no end marker", Bytes(good.begin(), good.end() - 1024), false},
      {"data cut inside a file", Bytes(good.begin(), good.begin() + 600), false},
      {"a symbolic link", withType('2'), false},
      {"a hard link", withType('1'), false},
      {"a header whose checksum does not match", badChecksum, false},
      {"a path climbing out in the middle", writeUpdateArchive({{"a/../../evil", false, ""}}), false},
      {"the same path twice", writeUpdateArchive({{"a", false, ""}, {"./a", false, ""}}), false},
      {"empty", Bytes(), false},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(readUpdateArchive(c.bytes, error).has_value(), c.valid) << c.why << ": " << error;
  }
  std::string error;
  EXPECT_FALSE(readUpdateArchive(writeUpdateArchive({{"a\x1b]0;owned\x07", false, ""}}), error));
  EXPECT_EQ(error, "archive path that is not text");  // never repeated into the log
  auto archive = readUpdateArchive(good, error);
  ASSERT_TRUE(archive);
  ASSERT_EQ(archive->entries.size(), 3u);
  EXPECT_EQ(archive->entries[2].path, "share/readme.txt");
  EXPECT_TRUE(archive->entries[0].executable);
  EXPECT_EQ(toString(archive->entries[0].data), "new program");
}

}  // namespace
}  // namespace tavlo
