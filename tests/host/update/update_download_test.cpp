#include "host/update/update_download.hpp"

#include <gtest/gtest.h>

namespace tavlo {
namespace {

TEST(UpdateDownload, PlainHttpReachesOnlyThisMachine) {
  struct Case {
    const char* url;
    bool allowed;
  };
  const Case cases[] = {
      {"https://updates.example.org/feed", true},
      {"http://127.0.0.1:8080/feed", true},
      {"http://[::1]/feed", true},
      {"http://localhost/feed", true},
      {"http://updates.example.org/feed", false},
      // The loopback address as the user name of another host: plain HTTP would leave this machine.
      {"http://127.0.0.1:x@updates.example.org/feed", false},
      {"http://localhost:@updates.example.org/feed", false},
      {"http://[::1]:@updates.example.org/feed", false},
      {"ftp://updates.example.org/feed", false},
      {"https://", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isAllowedUpdateUrl(c.url), c.allowed) << c.url;
}

TEST(UpdateDownload, NamesTheHostATransferReaches) {
  EXPECT_EQ(updateUrlHost("https://updates.example.org/feed"), "updates.example.org");
  EXPECT_EQ(updateUrlHost("https://127.0.0.1:x@updates.example.org:8443/feed"), "updates.example.org");
  EXPECT_EQ(updateUrlHost("http://[::1]:8080/feed"), "[::1]");
  EXPECT_EQ(updateUrlHost("not an address"), "");
}

}  // namespace
}  // namespace tavlo
