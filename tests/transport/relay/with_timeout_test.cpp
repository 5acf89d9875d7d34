#include "transport/with_timeout.hpp"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "tests/transport/relay/relay_test_kit.hpp"
#include "transport/transport_error.hpp"

namespace vela {
namespace {

using namespace std::chrono_literals;

// Whether `future` is ready within a short real-time wait (it is when the race has been decided).
template <class T>
bool decided(std::future<T>& future, std::chrono::milliseconds within = 5s) {
  return future.wait_for(within) == std::future_status::ready;
}

// Waits (in real time) until the race has armed its timer on the scheduler.
void waitForTimer(tavlo::ManualScheduler& scheduler) {
  const auto& clock = tavlo::SteadyClock::shared();
  uint64_t until = clock.nowUs() + 5'000'000;
  while (scheduler.pendingCount() == 0 && clock.nowUs() < until) std::this_thread::yield();
}

TEST(WithTimeout, ReturnsTheValueOfAnOperationThatFinishesInTime) {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  EXPECT_EQ(withTimeout<std::string>(scheduler, 6000, [] { return std::string("CH abc"); }), "CH abc");
  EXPECT_EQ(scheduler.pendingCount(), 0u);  // its timer went with it
}

TEST(WithTimeout, FailsWithTheOperationsOwnErrorWhenItFailsFirst) {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  try {
    withTimeout(scheduler, 6000, [] { throw TransportError::notReady(); });
    FAIL() << "no error";
  } catch (const TransportError& error) {
    EXPECT_EQ(error, TransportError::notReady());
  }
  EXPECT_THROW(withTimeout<int>(scheduler, 6000, []() -> int { throw std::runtime_error("broken"); }),
               std::runtime_error);
}

TEST(WithTimeout, EndsAtTheLimitWhileTheOperationIgnoresIt) {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  // An operation blocked in a wait that only its owner can end (a read on a connection).
  auto release = std::make_shared<std::promise<void>>();
  auto blocked = release->get_future().share();
  auto race = std::async(std::launch::async, [&] {
    return withTimeout<std::string>(scheduler, 6000, [blocked] {
      blocked.wait();
      return std::string("too late");
    });
  });
  waitForTimer(scheduler);
  scheduler.advanceBy(5'999'000);
  EXPECT_FALSE(decided(race, 0ms));
  scheduler.advanceBy(1'000);
  ASSERT_TRUE(decided(race));
  try {
    race.get();
    FAIL() << "no error";
  } catch (const TransportError& error) {
    EXPECT_EQ(error, TransportError::badEndpoint());
  }
  release->set_value();  // the owner ends the operation, as cancelling its connection would
}

TEST(WithTimeout, ALimitOfZeroEndsAtOnce) {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  auto release = std::make_shared<std::promise<void>>();
  auto blocked = release->get_future().share();
  auto race = std::async(std::launch::async, [&] { withTimeout(scheduler, 0, [blocked] { blocked.wait(); }); });
  waitForTimer(scheduler);
  scheduler.runDue();
  ASSERT_TRUE(decided(race));
  EXPECT_THROW(race.get(), TransportError);
  release->set_value();
}

}  // namespace
}  // namespace vela
