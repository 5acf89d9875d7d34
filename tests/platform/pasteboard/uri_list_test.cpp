#include <gtest/gtest.h>

#include "platform/pasteboard/uri_list.hpp"

namespace tavlo {
namespace {

TEST(UriList, ParsesLocalFilesAndSkipsEverythingElse) {
  struct Row {
    std::string list;
    std::vector<std::filesystem::path> files;
    const char* why;
  };
  const std::vector<Row> rows = {
      {"file:///tmp/a%20b.txt\r\nfile:///tmp/c\r\n", {"/tmp/a b.txt", "/tmp/c"}, "CRLF lines and escapes"},
      {"# comment\nfile://localhost/x\n", {"/x"}, "comments and localhost"},
      {"file://other/x\nhttp://h/x\nfile:///ok", {"/ok"}, "other hosts and schemes; no final newline"},
      {"file:///bad%2\nfile:///nul%00\nfile:///z%zz\nfile://", {}, "bad escapes, NUL, no path"},
  };
  for (const Row& row : rows) EXPECT_EQ(parseFileUriList(row.list), row.files) << row.why;
}

TEST(UriList, FormattedListsParseBack) {
  const std::vector<std::filesystem::path> files = {"/home/u/zdjęcie 1#.png", "/tmp/100%/x\ny"};
  EXPECT_EQ(parseFileUriList(formatFileUriList(files)), files);
}

}  // namespace
}  // namespace tavlo
