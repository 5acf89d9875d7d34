#include "platform/runtime/scheduler.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace tavlo {
namespace {

TEST(ManualScheduler, RunsDueJobsInTimeOrderWithTheClockAtTheirDueTime) {
  FakeClock clock;
  ManualScheduler scheduler(clock);
  const uint64_t t0 = clock.nowUs();
  std::vector<std::pair<std::string, uint64_t>> ran;
  auto record = [&](std::string name) { return [&, name] { ran.emplace_back(name, clock.nowUs() - t0); }; };
  scheduler.after(30, record("c"));
  scheduler.after(10, record("a"));
  scheduler.after(20, record("b1"));
  scheduler.after(20, record("b2"));
  scheduler.after(100, record("late"));

  scheduler.advanceBy(50);
  EXPECT_EQ(ran, (std::vector<std::pair<std::string, uint64_t>>{{"a", 10}, {"b1", 20}, {"b2", 20}, {"c", 30}}));
  EXPECT_EQ(clock.nowUs() - t0, 50u);
  EXPECT_EQ(scheduler.pendingCount(), 1u);
}

TEST(ManualScheduler, RepeatingJobsAndJobsAddedWhileAdvancing) {
  FakeClock clock;
  ManualScheduler scheduler(clock);
  const uint64_t t0 = clock.nowUs();
  std::vector<uint64_t> ticks;
  auto id = scheduler.every(20'000, [&] {
    ticks.push_back(clock.nowUs() - t0);
    if (ticks.size() == 2) scheduler.after(5'000, [&] { ticks.push_back(1); });
  });
  scheduler.advanceBy(65'000);
  EXPECT_EQ(ticks, (std::vector<uint64_t>{20'000, 40'000, 1, 60'000}));
  scheduler.cancel(id);
  scheduler.advanceBy(100'000);
  EXPECT_EQ(ticks.size(), 4u);
}

TEST(ManualScheduler, AJobCanCancelItself) {
  FakeClock clock;
  ManualScheduler scheduler(clock);
  int runs = 0;
  Scheduler::JobId id = 0;
  id = scheduler.every(10, [&] {
    if (++runs == 3) scheduler.cancel(id);
  });
  scheduler.advanceBy(1'000);
  EXPECT_EQ(runs, 3);
}

TEST(ScopedTimer, CancelsWhenItGoesAway) {
  FakeClock clock;
  ManualScheduler scheduler(clock);
  int runs = 0;
  {
    ScopedTimer timer(scheduler, scheduler.every(10, [&] { ++runs; }));
    scheduler.advanceBy(25);
  }
  scheduler.advanceBy(100);
  EXPECT_EQ(runs, 2);
}

TEST(ThreadScheduler, RunsAJobOnItsThreadWhenAFakeClockReachesIt) {
  FakeClock clock;
  ThreadScheduler scheduler(clock);
  std::promise<uint64_t> ran;
  scheduler.after(5'000'000, [&] { ran.set_value(clock.nowUs()); });
  auto future = ran.get_future();
  clock.advanceUs(5'000'000);
  EXPECT_EQ(future.get(), FakeClock::startUs + 5'000'000);
}

TEST(ThreadScheduler, RunsJobsThatFallDueTogetherInDeadlineOrder) {
  FakeClock clock;
  ThreadScheduler scheduler(clock);
  std::mutex mutex;
  std::vector<int> order;
  std::promise<void> done;
  scheduler.after(2'000, [&] {
    std::lock_guard g(mutex);
    order.push_back(2);
    done.set_value();
  });
  scheduler.after(1'000, [&] {
    std::lock_guard g(mutex);
    order.push_back(1);
  });
  clock.advanceUs(2'000);
  done.get_future().wait();
  std::lock_guard g(mutex);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// On the real clock a job due now must not wait behind one due much later (the order of two close
// deadlines is not asserted here: a preempted caller can legitimately create them the other way round).
TEST(ThreadScheduler, ARealTimeJobDueNowIsNotHeldBehindALaterOne) {
  ThreadScheduler scheduler;
  std::atomic<bool> lateRan{false};
  std::promise<void> done;
  scheduler.after(600'000'000, [&] { lateRan = true; });
  scheduler.after(0, [&] { done.set_value(); });
  EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_FALSE(lateRan);
}

TEST(Clock, SleepOnAFakeClockEndsWhenTheClockIsAdvanced) {
  FakeClock clock;
  std::thread sleeper([&] { clock.sleepFor(10'000'000); });
  while (clock.waiterCount() < 1) std::this_thread::yield();
  clock.advanceUs(10'000'000);
  sleeper.join();
  SUCCEED();
}

TEST(Clock, AFakeClockThatAdvancesOnWaitEndsEachSleepAtItsDeadline) {
  FakeClock clock;
  clock.setAdvanceOnWait(true);
  clock.sleepFor(1'200'000);
  clock.sleepFor(50'000);
  EXPECT_EQ(clock.nowUs(), FakeClock::startUs + 1'250'000);
  // A deadline already passed leaves the clock where it is.
  clock.sleepUntil(FakeClock::startUs);
  EXPECT_EQ(clock.nowUs(), FakeClock::startUs + 1'250'000);
}

}  // namespace
}  // namespace tavlo
