#include "transport/log_rate_limiter.hpp"

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(LogRateLimiter, WritesItsBudgetPerWindowAndTellsTheNextLineHowManyItHeldBack) {
  LogRateLimiter limiter(10'000'000, 2);
  const uint64_t start = 5'000'000;  // any clock: the first line opens the window
  const std::optional<std::string> plain = "", heldBack = std::nullopt;  // a line written as it is; none
  EXPECT_EQ(limiter.admit(start), plain);
  EXPECT_EQ(limiter.admit(start + 1), plain);
  EXPECT_EQ(limiter.admit(start + 2), heldBack);
  EXPECT_EQ(limiter.admit(start + 9'999'999), heldBack) << "still the first window";
  EXPECT_EQ(limiter.heldBack(), 2u);
  EXPECT_EQ(limiter.admit(start + 10'000'000), " (pominięto 2 podobnych)");
  EXPECT_EQ(limiter.admit(start + 10'000'001), plain) << "the count went with the line before";
  EXPECT_EQ(limiter.admit(start + 1), plain) << "a clock that went back opens a new window";
}

}  // namespace
}  // namespace vela
