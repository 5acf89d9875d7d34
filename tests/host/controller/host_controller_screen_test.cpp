// The desktop session's screen lock and sleep end the client's session, and the power inhibitor is
// held exactly while a client is connected.
#include <gtest/gtest.h>

#include <thread>

#include "host/controller/host_controller.hpp"
#include "tests/host/controller/controller_test_kit.hpp"

namespace tavlo {
namespace {

using controllertest::ControllerRig;
using controllertest::Trace;

struct ScreenRig {
  ControllerRig rig;
  std::shared_ptr<HostController> controller = rig.startedController();

  void settle() { rig.main.runUntilIdle(); }
  std::shared_ptr<controllertest::FakeSession> admittedSession(const std::string& peer = "192.168.1.9:5000") {
    return rig.admitSession(*controller, "ipad", peer);
  }
  long held() const {
    return std::count(rig.companions.begin(), rig.companions.end(), "display awake") -
           std::count(rig.companions.begin(), rig.companions.end(), "display may sleep");
  }
};

TEST(ScreenEvents, ALockOrSleepFromTheDesktopSessionEndsTheSessionAndReleasesTheInhibitor) {
  ScreenRig r;
  ASSERT_TRUE(r.rig.screenEvents.locked);
  auto first = r.admittedSession();
  EXPECT_EQ(r.held(), 1);
  // The watcher's own thread reports: the step runs on the main executor.
  std::thread([&] { r.rig.screenEvents.locked(); }).join();
  EXPECT_EQ(r.controller->session(), first);
  r.settle();
  EXPECT_EQ(r.controller->session(), nullptr);
  EXPECT_TRUE(first->called("bye"));
  EXPECT_TRUE(r.controller->hostLocked());
  EXPECT_EQ(r.held(), 0);
  r.rig.screenEvents.unlocked();
  r.settle();
  EXPECT_FALSE(r.controller->hostLocked());

  auto second = r.admittedSession();
  EXPECT_EQ(r.held(), 1);
  r.rig.screenEvents.asleep();
  r.settle();
  EXPECT_EQ(r.controller->session(), nullptr);
  EXPECT_TRUE(second->called("bye"));
  EXPECT_EQ(r.held(), 0);
}

TEST(ScreenEvents, TheInhibitorIsReleasedOnEveryEndOfTheSession) {
  ScreenRig r;
  auto ended = r.admittedSession();
  ended->callbacks.onDisconnect();
  r.settle();
  EXPECT_EQ(r.held(), 0) << "the client's own disconnect";
  r.admittedSession("100.101.102.103:5000");
  r.controller->setAllowVPN(false);
  r.settle();
  EXPECT_EQ(r.held(), 0) << "a path switched off";
  r.admittedSession();
  r.controller->disconnectClient();
  r.settle();
  EXPECT_EQ(r.held(), 0) << "the menu's disconnect";
  r.controller.reset();
  EXPECT_NE(std::find(r.rig.trace.begin(), r.rig.trace.end(), "screen watch stop"), r.rig.trace.end());
}

}  // namespace
}  // namespace tavlo
