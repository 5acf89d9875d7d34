// The display work of the controller (the physical displays switched back on at launch, after a session
// and at exit) runs on the display worker, never on the main executor, and a client's admission waits
// until it is done.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "host/controller/host_controller.hpp"
#include "tests/host/controller/controller_test_kit.hpp"

namespace tavlo {
namespace {

using controllertest::ControllerRig;
using controllertest::Trace;

// A rig whose display worker is the test: jobs wait in `displayJobs` until runDisplayJobs().
struct DisplayWorkRig {
  ControllerRig rig;
  std::deque<std::function<void()>> displayJobs;
  std::shared_ptr<HostController> controller;

  DisplayWorkRig() {
    auto deps = rig.dependencies();
    deps.seams.runDisplayWork = [this](std::function<void()> job) { displayJobs.push_back(std::move(job)); };
    controller = rig.make(std::move(deps));
    rig.main.post([this] { controller->start(); });
    rig.main.runUntilIdle();
  }
  // The worker's turn, then the main executor's.
  void runDisplayJobs() {
    while (!displayJobs.empty()) {
      auto job = std::move(displayJobs.front());
      displayJobs.pop_front();
      job();
    }
    rig.main.runUntilIdle();
  }
  bool traced(const std::string& step) const {
    return std::find(rig.trace.begin(), rig.trace.end(), step) != rig.trace.end();
  }
};

TEST(HostControllerDisplayWork, TheLaunchRecoveryRunsOnTheWorkerWhileStartUpGoesOn) {
  DisplayWorkRig w;
  EXPECT_FALSE(w.traced("recover displays"));
  EXPECT_TRUE(w.controller->isListening.get()) << "listening does not wait for the displays";
  ASSERT_EQ(w.displayJobs.size(), 1u);

  // A client's hello meanwhile waits for the recovery; a second one is refused as busy.
  auto first = w.rig.wireSession(*w.controller);
  std::optional<bool> firstAdmitted, secondAdmitted;
  w.controller->approveTakeover("device-A", true, first, [&](bool admitted) { firstAdmitted = admitted; });
  w.controller->approveTakeover("device-B", true, w.rig.wireSession(*w.controller),
                                [&](bool admitted) { secondAdmitted = admitted; });
  w.rig.main.runUntilIdle();
  EXPECT_FALSE(firstAdmitted);
  EXPECT_EQ(secondAdmitted, false);
  EXPECT_FALSE(w.controller->session());

  w.runDisplayJobs();
  EXPECT_TRUE(w.traced("recover displays"));
  EXPECT_EQ(firstAdmitted, true);
  EXPECT_EQ(w.controller->session(), first);
  EXPECT_FALSE(w.controller->takeoverBusy());
}

TEST(HostControllerDisplayWork, TheRestoreAfterADisconnectRunsOnTheWorkerBeforeTheNextClientIsAdmitted) {
  DisplayWorkRig w;
  w.runDisplayJobs();
  auto ended = w.rig.admitSession(*w.controller, "device-A");
  ASSERT_EQ(w.controller->session(), ended);
  w.rig.trace.clear();

  w.controller->disconnectClient();
  w.rig.scheduler.advanceBy(HostController::disconnectCloseDelayUs);
  w.rig.main.runUntilIdle();
  EXPECT_TRUE(ended->called("close"));
  EXPECT_TRUE(w.rig.trace.empty()) << "the main executor did not restore the displays itself";
  ASSERT_EQ(w.displayJobs.size(), 1u);

  auto next = w.rig.wireSession(*w.controller);
  std::optional<bool> admitted;
  w.controller->approveTakeover("device-B", true, next, [&](bool yes) { admitted = yes; });
  w.rig.main.runUntilIdle();
  EXPECT_FALSE(admitted) << "admitted while the displays were still being restored";
  EXPECT_EQ(w.controller->logLines.get().back(), "🖥 ekrany fizyczne jeszcze wracają — przyjmę klienta, gdy skończą");

  w.runDisplayJobs();
  EXPECT_EQ(w.rig.trace, (Trace{"restore displays"}));
  EXPECT_EQ(admitted, true);
  EXPECT_EQ(w.controller->session(), next);
}

TEST(HostControllerDisplayWork, TheRestoreAtExitIsHandedToTheWorker) {
  DisplayWorkRig w;
  w.runDisplayJobs();
  w.rig.trace.clear();
  w.controller->applicationWillTerminate();
  EXPECT_TRUE(w.rig.trace.empty());
  w.runDisplayJobs();
  EXPECT_EQ(w.rig.trace, (Trace{"restore displays", "destroy display"}));
}

}  // namespace
}  // namespace tavlo
