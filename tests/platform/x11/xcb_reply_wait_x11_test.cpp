// Waiting for the X server's replies within a bound, on a private dummy Xorg that the test stops
// (SIGSTOP) and lets go on (SIGCONT): a stopped server costs one limit, later waits are cut short while
// it stays stopped, and everything answers again once it runs.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "platform/x11/randr_outputs.hpp"
#include "platform/x11/xcb_connection.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(XcbReplyWait, GivesUpOnAStoppedServerOnceAndAnswersAgainWhenItRuns) {
  testkit::XorgServer xorg;
  ASSERT_TRUE(xorg.start()) << xorg.failureText();
  std::string error;
  auto x = XcbConnection::open(xorg.display(), &error);
  ASSERT_NE(x, nullptr) << error;
  ASSERT_FALSE(queryOutputs(*x).empty());
  EXPECT_FALSE(xServerStalled());

  ASSERT_EQ(::kill(xorg.pid(), SIGSTOP), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(queryOutputs(*x).empty()) << "a stopped server answers nothing";
  const double firstWait = secondsSince(start);
  // Several round trips share one deadline: the query gives up after one limit, not one per reply.
  EXPECT_GE(firstWait, 1.9);
  EXPECT_LT(firstWait, 3.5);
  EXPECT_TRUE(xServerStalled());
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(x->hasExtension("RANDR"));
  EXPECT_LT(secondsSince(start), 1.0) << "while stalled, a wait is cut short";
  EXPECT_TRUE(x->healthy()) << "giving up on a reply keeps the connection";

  ASSERT_EQ(::kill(xorg.pid(), SIGCONT), 0);
  bool answered = false;
  for (int i = 0; i < 50 && !answered; ++i) answered = x->hasExtension("RANDR");
  EXPECT_TRUE(answered);
  EXPECT_FALSE(xServerStalled());
  EXPECT_FALSE(queryOutputs(*x).empty()) << "the replies given up on do not get in the way of later ones";
}

}  // namespace
}  // namespace tavlo
