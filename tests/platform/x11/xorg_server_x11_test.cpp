// The window system the display, capture and input layers run on: a private dummy Xorg with the
// extensions they rely on.
#include <gtest/gtest.h>

#include "platform/x11/randr_outputs.hpp"
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
  // The dummy card offers sixteen outputs; the first one is on and primary at the origin.
  auto outputs = queryOutputs(*connection);
  ASSERT_EQ(outputs.size(), 16u);
  EXPECT_EQ(outputs[0].name, "DUMMY0");
  EXPECT_TRUE(outputs[0].enabled() && outputs[0].primary);
  EXPECT_EQ(outputs[0].x, 0);
  EXPECT_EQ(outputs[0].scale, 1);
  ASSERT_TRUE(setOutputScale(*connection, outputs[0].outputId, 2));
  EXPECT_EQ(queryOutput(*connection, outputs[0].outputId)->scale, 2);
  // Stopped, the server drops its clients. (Its display number may at once go to another test's server,
  // so a new connection proves nothing.)
  server.stop();
  EXPECT_FALSE(server.running());
  EXPECT_TRUE(queryOutputs(*connection).empty());
  EXPECT_FALSE(connection->healthy());
}

}  // namespace
}  // namespace tavlo
