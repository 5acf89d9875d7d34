#include "host/app/isolation_watch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/runtime/main_executor.hpp"
#include "tests/testkit/release_latch.hpp"

namespace tavlo {
namespace {

// A re-disable that waits for the display server until the test lets it go.
struct HeldEnforcement {
  testkit::ReleaseLatch latch;
  std::atomic<int> runs{0};
  std::atomic<bool> heldTooLong{false};
  std::atomic<bool> ranOnTestThread{false};
  const std::thread::id testThread = std::this_thread::get_id();

  std::function<void()> function() {
    return [this] {
      if (std::this_thread::get_id() == testThread) ranOnTestThread = true;
      if (!latch.hold()) heldTooLong = true;
      ++runs;
    };
  }
};

struct WatchRig {
  FakeClock clock;
  ManualScheduler scheduler{clock};
  MainExecutor main;
  HeldEnforcement enforcement;
  std::shared_ptr<SerialExecutor> worker = std::make_shared<SerialExecutor>("tl.isolation");
  std::shared_ptr<IsolationWatch> watch = IsolationWatch::create(scheduler, worker, enforcement.function());

  // The watch's timer hands its work to whatever runs the periodic job; here the main executor would
  // be that thread if the watch posted there, so every tick is followed by a turn of it.
  void tick() {
    scheduler.advanceBy(IsolationWatch::checkEveryUs);
    main.runUntilIdle();
  }
};

TEST(IsolationWatch, AReDisableThatWaitsForTheServerHoldsNeitherTheTimerNorTheMainExecutor) {
  WatchRig rig;
  rig.watch->sync(true);
  rig.tick();
  ASSERT_TRUE(rig.enforcement.latch.waitForEntered());
  bool otherJobRan = false;
  rig.main.post([&] { otherJobRan = true; });
  rig.main.runUntilIdle();
  EXPECT_TRUE(otherJobRan);
  rig.watch->enforceNow();  // a layout change meanwhile returns at once as well
  rig.enforcement.latch.release();
  EXPECT_TRUE(rig.enforcement.latch.waitForEntered(2));
  rig.worker->shutdown();  // waits for the checks
  EXPECT_FALSE(rig.enforcement.ranOnTestThread);
  EXPECT_FALSE(rig.enforcement.heldTooLong);
  EXPECT_EQ(rig.enforcement.runs, 2) << "the one in progress and one that waited behind it";
}

TEST(IsolationWatch, RequestsWhileACheckRunsFoldIntoOneAndNothingRunsWhileInactive) {
  WatchRig rig;
  rig.watch->enforceNow();
  rig.tick();
  EXPECT_EQ(rig.enforcement.latch.entered(), 0) << "no session: no check";

  rig.watch->sync(true);
  rig.watch->enforceNow();
  ASSERT_TRUE(rig.enforcement.latch.waitForEntered());
  for (int i = 0; i < 5; ++i) {
    rig.watch->enforceNow();
    rig.tick();
  }
  rig.watch->sync(false);
  rig.tick();
  rig.enforcement.latch.release();
  rig.worker->shutdown();
  EXPECT_EQ(rig.enforcement.runs, 1) << "the one that waited was dropped: the session ended before it ran";
  EXPECT_EQ(rig.scheduler.pendingCount(), 0u);
}

}  // namespace
}  // namespace tavlo
