#include "host/update/update_feed.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tavlo {
namespace {

TEST(UpdateFeed, ReadsItsFieldsAndRefusesIncompleteOrOddFeeds) {
  UpdateFeed feed{.version = "1.8", .build = "8", .url = "https://u.example/a.tar", .size = 42, .signature = {}};
  feed.signature[0] = 9;
  std::string error;
  auto parsed = parseUpdateFeed("# comment\r\n" + renderUpdateFeed(feed) + "extra=ignored\n", error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->url, feed.url);
  EXPECT_EQ(parsed->size, 42u);
  EXPECT_EQ(parsed->signature, feed.signature);
  for (const char* bad : {"version=1\nbuild=2\nurl=https://x\nsize=-1\ned25519=AA==\n", "version=1\n", "garbage",
                          "version=1\nbuild=2\nurl=https://x\nsize=3\ned25519=AAAA\n"}) {
    EXPECT_FALSE(parseUpdateFeed(bad, error)) << bad;
  }
  // A line with control characters is refused, even under a key the host does not know, and never
  // echoed into the error (which goes to the log).
  EXPECT_FALSE(parseUpdateFeed(renderUpdateFeed(feed) + "\x1b]0;owned\x07=x\n", error));
  EXPECT_EQ(error, "feed line that is not text");
}

TEST(UpdateFeed, OnlyALargerBuildNumberIsNewer) {
  struct Case {
    const char* offered;
    const char* running;
    bool newer;
  };
  const Case cases[] = {
      {"10", "9", true},        {"9", "10", false},  {"7", "7", false},   {"8b", "5", false},
      {"beta", "5", false},     {"08", "7", false},  {"", "5", false},    {"8", "x", false},
      {"-9", "5", false},       {"+9", "5", false},  {" 9", "5", false},  {"9999999999999999999", "5", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isNewerBuild(c.offered, c.running), c.newer) << c.offered << " over " << c.running;
}

}  // namespace
}  // namespace tavlo
