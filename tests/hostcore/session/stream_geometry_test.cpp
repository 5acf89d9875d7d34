// The encoder capacity budget and the surface ladder: what a second of encoder throughput teaches the
// budget, the frame-rate cap it implies, and the ladder's hysteresis between encoder or link pressure
// and margin.
#include <gtest/gtest.h>

#include "hostcore/session/encoder_capacity.hpp"
#include "hostcore/session/surface_ladder_step.hpp"

namespace vela {
namespace {

constexpr uint64_t t0 = 1'000'000'000'000ULL;
constexpr int64_t uhd = 3840 * 2160;

GeometryState geometryWithBudget(double budget) {
  GeometryState g;
  g.encBudgetPxFps = budget;
  return g;
}

CapacityWindow window(int64_t framesDone, std::vector<uint64_t> saturated = {}, uint64_t nowUs = t0,
                      int64_t area = 1920 * 1080) {
  return CapacityWindow{area, framesDone, std::move(saturated), 1.0, nowUs, 60};
}

TEST(EncoderCapacity, ABudgetCapsTheFrameRateItCannotCarryAtTheSize) {
  GeometryState g;
  applyBudgetCap(g, 4.6e8, uhd, 60);
  EXPECT_TRUE(g.budgetCappedNow);
  EXPECT_EQ(g.encFpsCap, 55) << "4.6e8 / 8,294,400 = 55.4 fps";
  applyBudgetCap(g, 4.6e8, 1920 * 1080, 60);
  EXPECT_FALSE(g.budgetCappedNow);
  EXPECT_EQ(g.encFpsCap, 60);
  applyBudgetCap(g, 2e8, 8192.0 * 8192.0, 24);
  EXPECT_EQ(g.encFpsCap, 10) << "never below 10";
}

TEST(EncoderCapacity, LearnsOnlyFromSaturationAndNeverBelowWhatWasDelivered) {
  struct Row {
    const char* why;
    double budgetBefore;
    int64_t framesDone;
    std::vector<uint64_t> saturatedUs;
    double budgetAfter;
  };
  const double area = 1920.0 * 1080.0;
  const std::vector<uint64_t> nineFast(9, 1000);
  const std::vector<uint64_t> tenAt5ms{4500, 4750, 5000, 5000, 5000, 5000, 5000, 5500, 6000, 15000};
  for (const Row& row : {
           Row{"nine saturated intervals estimate nothing: the budget stays", 4.6e8, 30, nineFast, 4.6e8},
           Row{"ten at a 5 ms (upper) median: 0.9 × area × 200/s", 4.6e8, 30, tenAt5ms, 0.9 * area * 200.0},
           Row{"delivering more than the estimate keeps what was delivered", 4.6e8, 300, tenAt5ms, area * 300.0},
           Row{"never below 2e8", 4.6e8, 1, std::vector<uint64_t>(10, 1'000'000), 2e8},
           Row{"never above 2e9", 4.6e8, 1, std::vector<uint64_t>(10, 100), 2e9},
       }) {
    SCOPED_TRACE(row.why);
    GeometryState g = geometryWithBudget(row.budgetBefore);
    auto outcome = learnEncoderCapacity(g, window(row.framesDone, row.saturatedUs));
    EXPECT_TRUE(outcome.updated);
    EXPECT_DOUBLE_EQ(g.encBudgetPxFps, row.budgetAfter);
  }
}

TEST(EncoderCapacity, SmoothsEstimatesAndCreepsUpWhileCappedAndUnsaturated) {
  GeometryState g = geometryWithBudget(4.6e8);
  const double area = 3840.0 * 2160.0;
  const std::vector<uint64_t> at40ms(10, 40'000);  // 25 fps at UHD: 2.07e8 px/s, × 0.9
  learnEncoderCapacity(g, window(1, at40ms, t0, uhd));
  EXPECT_DOUBLE_EQ(g.capacityEwmaPxFps, 0.9 * area * 25.0);
  const std::vector<uint64_t> at20ms(10, 20'000);
  learnEncoderCapacity(g, window(1, at20ms, t0 + 1'000'000, uhd));
  EXPECT_DOUBLE_EQ(g.capacityEwmaPxFps, 0.5 * 0.9 * area * 50.0 + 0.5 * 0.9 * area * 25.0);
  EXPECT_TRUE(g.budgetCappedNow);

  double before = g.encBudgetPxFps;
  learnEncoderCapacity(g, window(1, {}, t0 + 9'000'000, uhd));
  EXPECT_DOUBLE_EQ(g.encBudgetPxFps, before) << "saturated 8 s ago: no creep yet";
  learnEncoderCapacity(g, window(1, {}, t0 + 11'000'000, uhd));
  EXPECT_DOUBLE_EQ(g.encBudgetPxFps, before * 1.1);
}

TEST(EncoderCapacity, IgnoresShortOrEmptyWindowsPersistsEvery30sAndLogsChanges) {
  GeometryState g = geometryWithBudget(4.6e8);
  CapacityWindow shortWindow = window(30);
  shortWindow.dtSec = 0.5;
  EXPECT_FALSE(learnEncoderCapacity(g, shortWindow).updated);
  EXPECT_FALSE(learnEncoderCapacity(g, window(0)).updated);

  auto first = learnEncoderCapacity(g, window(60));
  EXPECT_TRUE(first.persist);
  ASSERT_TRUE(first.logLine);
  EXPECT_EQ(*first.logLine, "📏 pojemność enkodera: bez nasycenia, dowozi 124 MP/s → budżet 460 MP/s, cap fps brak");
  auto second = learnEncoderCapacity(g, window(60, {}, t0 + 29'000'000));
  EXPECT_FALSE(second.persist);
  EXPECT_FALSE(second.logLine) << "nothing changed by more than 25 %";
  EXPECT_TRUE(learnEncoderCapacity(g, window(60, {}, t0 + 30'000'000)).persist);

  const std::vector<uint64_t> at40ms(10, 40'000);
  auto saturated = learnEncoderCapacity(g, window(1, at40ms, t0 + 31'000'000, uhd));
  ASSERT_TRUE(saturated.logLine);
  EXPECT_EQ(*saturated.logLine,
            "📏 pojemność enkodera: mediana 40 ms × 8.3 MP, 10 próbek → 207 MP/s → budżet 200 MP/s, cap fps 24");
}

// A ladder over a 2560×1600 surface (4.1 MP) with the full rungs.
GeometryState fullLadder(double budget) {
  GeometryState g = geometryWithBudget(budget);
  g.lastFullStreamArea = 2560 * 1600;
  g.ladderRungs = {1.0, 0.75, 0.667, 0.5};
  return g;
}

TEST(SurfaceLadder, StepsDownAfterFiveSecondsOfPressureAndUpAfterFifteenGoodOnes) {
  GeometryState g = fullLadder(1e8);  // 24 fps at the full surface: the encoder presses
  for (int second = 1; second < 5; ++second) EXPECT_FALSE(stepSurfaceLadder(g, false, std::nullopt)) << second;
  auto down = stepSurfaceLadder(g, false, std::nullopt);
  ASSERT_TRUE(down);
  EXPECT_EQ(down->scale, 0.75);
  EXPECT_EQ(down->logLine, "🪜 powierzchnia ↓ 0.75 (2.3 MP) — enkoder 24 fps");
  EXPECT_EQ(g.ladderIdx, 1);
  EXPECT_EQ(g.ladderStepsDone, 1);

  g.encBudgetPxFps = 4.6e8;  // plenty: 112 fps at the full surface
  for (int second = 1; second < 10; ++second) EXPECT_FALSE(stepSurfaceLadder(g, false, std::nullopt));
  g.encBudgetPxFps = 5e7;  // one second of pressure restarts the count
  EXPECT_FALSE(stepSurfaceLadder(g, false, std::nullopt));
  g.encBudgetPxFps = 4.6e8;
  for (int second = 1; second < 15; ++second) EXPECT_FALSE(stepSurfaceLadder(g, false, std::nullopt)) << second;
  auto up = stepSurfaceLadder(g, false, std::nullopt);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->scale, 1.0);
  EXPECT_EQ(up->logLine, "🪜 powierzchnia ↑ 1.0 (4.0 MP) — zapas przez 15 s");
  EXPECT_EQ(g.lastLadderUpNeeded, 15);
}

TEST(SurfaceLadder, TheLinkPressesByBitsPerPixelAndAMarginGuardsTheStepUp) {
  GeometryState g = fullLadder(4.6e8);
  // 1,500 kbit/s over 4,096,000 px at 30 fps: 0.0122 bpp < 0.015.
  for (int second = 1; second < 5; ++second) EXPECT_FALSE(stepSurfaceLadder(g, false, 1'500'000));
  auto down = stepSurfaceLadder(g, false, 1'500'000);
  ASSERT_TRUE(down);
  EXPECT_EQ(down->logLine, "🪜 powierzchnia ↓ 0.75 (2.3 MP) — łącze 1500k = 0.0122 bpp");
  // At 0.75 the link gives 0.0289 bpp (no pressure) but the full rung would get only 0.0163 < 0.01875.
  for (int second = 1; second < 30; ++second) EXPECT_FALSE(stepSurfaceLadder(g, false, 2'000'000));
  EXPECT_EQ(g.ladderUpRun, 0);
}

TEST(SurfaceLadder, ASingleRungMirroringOrUnsizedSessionNeverSteps) {
  GeometryState single = fullLadder(1e7);
  single.ladderRungs = {1.0};
  GeometryState mirrored = fullLadder(1e7);
  GeometryState unsized = fullLadder(1e7);
  unsized.lastFullStreamArea = 0;
  for (int second = 0; second < 60; ++second) {
    EXPECT_FALSE(stepSurfaceLadder(single, false, std::nullopt));
    EXPECT_FALSE(stepSurfaceLadder(mirrored, true, std::nullopt));
    EXPECT_FALSE(stepSurfaceLadder(unsized, false, std::nullopt));
  }
  EXPECT_EQ(single.ladderIdx, 0);
  EXPECT_EQ(rungText(0.667), "0.667");
  EXPECT_EQ(rungText(1.0), "1.0");
}

}  // namespace
}  // namespace vela
