#include "media/link_state_estimator.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace vela {
namespace {

constexpr uint64_t t0 = 1'000'000'000'000ULL;

void feedLost(LinkStateEstimator& e, int n) {
  for (int i = 0; i < n; ++i) e.onFeedback(true, false, false, 0, 0, t0);
}

TEST(LinkStateEstimator, GivesNoVerdictBeforeSixtyFeedbacks) {
  LinkStateEstimator e;
  feedLost(e, 59);
  EXPECT_EQ(e.state(5'000'000, 1'000'000).regime, LinkRegime::clean);
  feedLost(e, 1);
  LinkState s = e.state(5'000'000, 1'000'000);
  EXPECT_EQ(s.regime, LinkRegime::critical);
  EXPECT_NEAR(s.visibleLossEwma, 1 - std::pow(0.95, 60), 1e-12);

  e.reset();
  feedLost(e, 59);
  EXPECT_EQ(e.state(5'000'000, 1'000'000).regime, LinkRegime::clean) << "a reset restarts the count";
}

TEST(LinkStateEstimator, LossAveragesSeparateVisibleFromRepaired) {
  LinkStateEstimator lost, fec;
  lost.onFeedback(true, false, false, 0, 0, t0);
  fec.onFeedback(false, true, false, 0, 0, t0);
  EXPECT_DOUBLE_EQ(lost.state(5'000'000, 1'000'000).visibleLossEwma, 0.05);
  EXPECT_DOUBLE_EQ(lost.state(5'000'000, 1'000'000).rawLossEwma, 0.05);
  EXPECT_DOUBLE_EQ(fec.state(5'000'000, 1'000'000).rawLossEwma, 0.05);
  EXPECT_EQ(fec.state(5'000'000, 1'000'000).visibleLossEwma, 0.0);
}

TEST(LinkStateEstimator, DelayPressureStaysInTheUnitRange) {
  LinkStateEstimator e;
  for (int i = 0; i < 500; ++i) e.onFeedback(false, false, true, 1000, 2, t0);
  double p = e.state(0, 0).delayPressure;
  EXPECT_NEAR(p, 1.0, 1e-9) << "0.1 ÷ (1 − 0.9)";
  EXPECT_LE(p, 1.0);

  e.onFeedback(false, false, true, 1000, 1, t0);
  EXPECT_NEAR(e.state(0, 0).delayPressure, 0.9 * p, 1e-12) << "normal decays by 10 %";
  for (uint8_t other : {uint8_t{0}, uint8_t{4}, uint8_t{255}}) {
    double before = e.state(0, 0).delayPressure;
    e.onFeedback(false, false, true, 1000, other, t0);
    EXPECT_EQ(e.state(0, 0).delayPressure, before) << "noData and unknown bytes leave it: " << int(other);
  }
  for (int i = 0; i < 100; ++i) e.onFeedback(false, false, true, 1000, 3, t0);
  EXPECT_EQ(e.state(0, 0).delayPressure, 0.0) << "underuse holds it at 0";
}

TEST(LinkStateEstimator, AssemblyAverageFollowsCleanFramesOnly) {
  LinkStateEstimator e;
  e.onFeedback(false, false, true, 10'000, 0, t0);
  EXPECT_DOUBLE_EQ(e.state(0, 0).assembleEwmaUs, 1'000);
  e.onFeedback(false, false, false, 90'000, 0, t0);  // repaired by NACK: not clean
  EXPECT_DOUBLE_EQ(e.state(0, 0).assembleEwmaUs, 1'000);
}

TEST(LinkStateEstimator, ExhaustedWithinTenPercentOfTheFloor) {
  LinkStateEstimator e;
  struct Row { const char* why; int64_t applied, floor; bool exhausted; };
  const Row rows[] = {
      {"exactly 10 % above", 1'100'000, 1'000'000, true},
      {"one above that", 1'100'001, 1'000'000, false},
      {"below the floor", 500'000, 1'000'000, true},
      {"integer division truncates: 15 × 11 ÷ 10 = 16", 16, 15, true},
      {"and 17 is above it", 17, 15, false},
      {"floor × 11 beyond 64 bits is still exact", INT64_MAX / 2 + 1, INT64_MAX / 2, true},
      {"and exact on the other side", INT64_MAX, INT64_MAX / 2, false},
  };
  for (const Row& r : rows) EXPECT_EQ(e.state(r.applied, r.floor).exhausted, r.exhausted) << r.why;
}

TEST(LinkStateEstimator, ClassifiesTheAverages) {
  struct Row { const char* why; int64_t samples; double raw, vis, delayP, assembleUs; LinkRegime regime; };
  const Row rows[] = {
      {"no verdict before 60 samples", 59, 0.9, 0.9, 1, 9'000, LinkRegime::clean},
      {"visible loss above 0.15", 60, 0.16, 0.151, 0, 0, LinkRegime::critical},
      {"raw loss above 0.25", 60, 0.251, 0, 0, 0, LinkRegime::critical},
      {"bursty assembly with little pressure", 60, 0.03, 0, 0.1, 6'000, LinkRegime::burstLimited},
      {"neither raw loss above 0.05 nor pressure above 0.3", 60, 0.03, 0, 0.1, 4'000, LinkRegime::clean},
      {"quiet link", 60, 0.01, 0, 0.1, 5'499, LinkRegime::clean},
      {"assembly at the threshold is bursty", 60, 0.01, 0, 0.1, 5'500, LinkRegime::burstLimited},
      {"raw loss above 0.05", 60, 0.06, 0, 0, 0, LinkRegime::throughputLimited},
      {"delay pressure above 0.3", 60, 0, 0, 0.31, 9'000, LinkRegime::throughputLimited},
      {"pressure exactly 0.3 is not throughput-limited", 60, 0, 0, 0.3, 0, LinkRegime::clean},
  };
  for (const Row& r : rows) {
    LinkState s;
    s.rawLossEwma = r.raw;
    s.visibleLossEwma = r.vis;
    s.delayPressure = r.delayP;
    s.assembleEwmaUs = r.assembleUs;
    EXPECT_EQ(LinkStateEstimator::regimeOf(r.samples, s), r.regime) << r.why;
  }
}

TEST(LinkStateEstimator, MeanChunksIgnoresKeyframes) {
  LinkStateEstimator e;
  e.onFrameSent(400, true, t0);
  EXPECT_EQ(e.state(0, 0).meanFrameChunks, 1.0);
  e.onFrameSent(11, false, t0);
  EXPECT_DOUBLE_EQ(e.state(0, 0).meanFrameChunks, 2.0);
  e.onFrameSent(0, false, t0);
  EXPECT_DOUBLE_EQ(e.state(0, 0).meanFrameChunks, 1.9) << "a frame counts at least one chunk";
}

}  // namespace
}  // namespace vela
