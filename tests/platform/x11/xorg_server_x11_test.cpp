// The window system the display, capture and input layers run on: a private dummy Xorg with the
// extensions they rely on.
#include <gtest/gtest.h>

#include "platform/x11/xcb_connection.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

TEST(XorgServer, StartsWithTheExtensionsTheLayersNeedAndStops) {
  testkit::XorgServer server;
  ASSERT_TRUE(server.start()) << server.failureText();
  std::string error;
  auto connection = XcbConnection::open(server.display(), &error);
  ASSERT_NE(connection, nullptr) << error;
  for (const char* name : {"RANDR", "XTEST", "MIT-SHM", "DAMAGE", "XFIXES"}) {
    EXPECT_TRUE(connection->hasExtension(name)) << name;
  }
  connection.reset();
  const std::string display = server.display();
  server.stop();
  EXPECT_EQ(XcbConnection::open(display), nullptr);
}

}  // namespace
}  // namespace tavlo
