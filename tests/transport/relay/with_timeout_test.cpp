#include "transport/with_timeout.hpp"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "tests/transport/relay/relay_test_kit.hpp"
#include "transport/transport_error.hpp"

namespace vela {
namespace {

using namespace std::chrono_literals;

TEST(WithTimeout, AnOperationThatEndsInTimeGivesItsOwnValueOrError) {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  EXPECT_EQ(withTimeout<std::string>(scheduler, 6000, [] { return std::string("CH abc"); }), "CH abc");
  EXPECT_EQ(scheduler.pendingCount(), 0u);  // its timer went with it
  EXPECT_EQ(testkit::transportErrorOf([&] { withTimeout(scheduler, 6000, [] { throw TransportError::notReady(); }); }),
            TransportError::notReady());
  EXPECT_THROW(withTimeout<int>(scheduler, 6000, []() -> int { throw std::runtime_error("broken"); }),
               std::runtime_error);
}

TEST(WithTimeout, EndsAtTheLimitWhileTheOperationIgnoresIt) {
  for (int limitMs : {6000, 0}) {
    tavlo::FakeClock clock;
    tavlo::ManualScheduler scheduler(clock);
    // An operation blocked in a wait that only its owner can end (a read on a connection).
    auto release = std::make_shared<std::promise<void>>();
    auto blocked = release->get_future().share();
    auto race = std::async(std::launch::async, [&] {
      return withTimeout<std::string>(scheduler, limitMs, [blocked] {
        blocked.wait();
        return std::string("too late");
      });
    });
    // Once the race has armed its timer, nothing decides it until the limit.
    auto armedBy = std::chrono::steady_clock::now() + 5s;
    while (scheduler.pendingCount() == 0 && std::chrono::steady_clock::now() < armedBy) std::this_thread::yield();
    if (limitMs > 0) {
      scheduler.advanceBy(static_cast<uint64_t>(limitMs) * 1000 - 1'000);
      EXPECT_NE(race.wait_for(0ms), std::future_status::ready) << limitMs;
    }
    scheduler.advanceBy(1'000);
    ASSERT_EQ(race.wait_for(5s), std::future_status::ready) << limitMs;
    EXPECT_EQ(testkit::transportErrorOf([&] { race.get(); }), TransportError::badEndpoint()) << limitMs;
    release->set_value();  // the owner ends the operation, as cancelling its connection would
  }
}

}  // namespace
}  // namespace vela
