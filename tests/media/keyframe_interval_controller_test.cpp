#include "media/keyframe_interval_controller.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace vela {
namespace {

TEST(KeyframeIntervalController, StartIsClampedToHalfASecondThroughFive) {
  struct Row { const char* why; double start, interval; };
  const Row rows[] = {
      {"below the shortest", 0.2, 0.5},
      {"above the longest start", 7, 5.0},
      {"the session's start", 2.75, 2.75},
      {"NaN never becomes the interval", std::nan(""), 0.5},
      {"infinity", std::numeric_limits<double>::infinity(), 5.0},
  };
  for (const Row& r : rows) EXPECT_EQ(KeyframeIntervalController(r.start).intervalSec(), r.interval) << r.why;
}

TEST(KeyframeIntervalController, HeavyLossShortensLightLossHolds) {
  struct Row { const char* why; double start; int64_t lost; std::optional<double> result; };
  const Row rows[] = {
      {"3 lost frames: −0.25", 2.0, 3, 1.75},
      {"7 lost frames: still −0.25", 2.0, 7, 1.75},
      {"8 lost frames: −0.5", 2.0, 8, 1.5},
      {"2 lost frames: none", 2.0, 2, std::nullopt},
      {"1 lost frame: none", 2.0, 1, std::nullopt},
      {"never below the budget floor", 0.6, 10, 0.5},
      {"at the floor there is no move to report", 0.5, 10, std::nullopt},
  };
  for (const Row& r : rows) {
    KeyframeIntervalController k(r.start);
    EXPECT_EQ(k.onWindow(r.lost, false), r.result) << r.why;
  }
}

TEST(KeyframeIntervalController, GrowsSlowlyForThirtyCleanWindowsAfterHeavyLoss) {
  KeyframeIntervalController k(2.0);
  k.onWindow(3, false);  // 1.75, slow growth for 30 windows
  std::vector<std::optional<double>> results;
  for (int i = 0; i < 36; ++i) results.push_back(k.onWindow(0, false));
  for (int i = 0; i < 36; ++i) {
    bool step = (i + 1) % 5 == 0 && i < 30;  // +0.05 every 5 clean windows while slow
    bool fast = i == 32 || i == 35;          // then +0.1 every 3
    EXPECT_EQ(results[i].has_value(), step || fast) << "window " << i + 1;
  }
  EXPECT_NEAR(k.intervalSec(), 1.75 + 6 * 0.05 + 2 * 0.1, 1e-9);

  // Light loss in between changes nothing, not even the clean run.
  KeyframeIntervalController light(2.0);
  light.onWindow(0, false);
  light.onWindow(0, false);
  EXPECT_EQ(light.onWindow(2, false), std::nullopt);
  EXPECT_NEAR(light.onWindow(0, false).value_or(0), 2.1, 1e-9);
}

TEST(KeyframeIntervalController, AmpleBandwidthWalksDownToOneSecond) {
  KeyframeIntervalController k(3.0);
  std::vector<double> seen;
  for (int i = 0; i < 10; ++i)
    if (auto r = k.onWindow(0, true)) seen.push_back(*r);
  EXPECT_EQ(seen, (std::vector<double>{2.75, 2.5, 2.25, 2.0, 1.75, 1.5, 1.25, 1.0}));
  EXPECT_EQ(k.intervalSec(), 1.0) << "and holds there";
}

TEST(KeyframeIntervalController, GrowthStopsAtTheCeiling) {
  KeyframeIntervalController k(4.95);
  EXPECT_EQ(k.onWindow(0, false), std::nullopt);
  EXPECT_EQ(k.onWindow(0, false), std::nullopt);
  EXPECT_EQ(k.onWindow(0, false), 5.0);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(k.onWindow(0, false), std::nullopt) << "at the ceiling";
}

TEST(KeyframeIntervalController, BudgetFloorAndGrowthCeilingAreClamped) {
  KeyframeIntervalController k(5.0);
  k.setBudgetFloor(12);
  EXPECT_EQ(k.budgetFloorSec(), 10.0);
  EXPECT_EQ(k.intervalSec(), 10.0) << "raised to the floor";
  EXPECT_EQ(k.onWindow(10, false), std::nullopt) << "heavy loss cannot go below the floor";

  k.setBudgetFloor(std::nan(""));
  EXPECT_EQ(k.budgetFloorSec(), 0.5) << "NaN reads as the lowest floor";
  k.setGrowCeil(0.1);
  EXPECT_EQ(k.growCeilSec(), 0.5);
  EXPECT_EQ(k.intervalSec(), 0.5) << "lowered to the ceiling";
  k.setGrowCeil(3.0);
  k.reset(9.0);
  EXPECT_EQ(k.intervalSec(), 3.0) << "reset is limited by the ceiling";
  k.reset(0.1);
  EXPECT_EQ(k.intervalSec(), 0.5);
}

}  // namespace
}  // namespace vela
