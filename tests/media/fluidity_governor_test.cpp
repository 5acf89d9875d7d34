#include "media/fluidity_governor.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace vela {
namespace {

constexpr uint64_t t0 = 1'000'000'000'000ULL;
constexpr int64_t floorBps = 1'000'000;

LinkState linkWith(double visibleLoss, bool exhausted = true, double delayPressure = 0) {
  LinkState s;
  s.visibleLossEwma = visibleLoss;
  s.rawLossEwma = visibleLoss;
  s.delayPressure = delayPressure;
  s.exhausted = exhausted;
  return s;
}

const LinkState clogLink = linkWith(0.3);
const LinkState goodLink = linkWith(0.0);

// Drives one governor through time; every update is `dtUs` after the previous one.
struct Driver {
  FluidityGovernor g;
  uint64_t now = t0;
  bool first = true;
  int64_t floor = floorBps;

  // The default offer is more than twice any clogged receive rate used here.
  GovernorDecision step(const LinkState& link, int64_t rx, uint64_t dtUs = 16'000, int64_t applied = 2'000'000) {
    if (!first) now += dtUs;
    first = false;
    return g.update(link, rx, applied, floor, 60, now);
  }
  // Updates until the governor engages; returns how many it took (0 = not within `limit`).
  int stepsToEngage(const LinkState& link, int64_t rx, int limit, uint64_t dtUs = 16'000,
                    int64_t applied = 2'000'000) {
    for (int i = 1; i <= limit; ++i)
      if (step(link, rx, dtUs, applied).engaged) return i;
    return 0;
  }
};

TEST(FluidityGovernor, EngagesAfterOnePointTwoSecondsOfClogging) {
  Driver d;
  EXPECT_EQ(d.stepsToEngage(clogLink, 400'000, 200), 75) << "the first update counts 16,000 µs; 75 × 16 ms = 1.2 s";
  EXPECT_EQ(d.g.phaseValue(), FluidityGovernor::drain);

  // A clean update in between takes back twice its time.
  Driver e;
  EXPECT_EQ(e.stepsToEngage(clogLink, 400'000, 74), 0);
  EXPECT_FALSE(e.step(goodLink, 400'000).engaged);
  EXPECT_EQ(e.stepsToEngage(clogLink, 400'000, 200), 3) << "1,184,000 − 32,000 needs three more updates";

  // A gap of 10 s between updates counts as 500,000 µs.
  Driver f;
  f.step(clogLink, 400'000);
  EXPECT_FALSE(f.step(clogLink, 400'000, 10'000'000).engaged);
  EXPECT_FALSE(f.step(clogLink, 400'000, 10'000'000).engaged) << "16,000 + 2 × 500,000";
  EXPECT_FALSE(f.step(clogLink, 400'000, 183'999).engaged);
  EXPECT_TRUE(f.step(clogLink, 400'000, 1).engaged);
}

TEST(FluidityGovernor, CloggedNeedsEveryCondition) {
  struct Row { const char* why; LinkState link; int64_t rx, applied; bool clogged; };
  const Row rows[] = {
      {"all conditions", clogLink, 400'000, 1'000'000, true},
      {"a receive rate of exactly 800,000 is not clogged", clogLink, 800'000, 2'000'000, false},
      {"799,999 with an offer more than twice as high is", clogLink, 799'999, 2'000'000, true},
      {"no receive rate and a positive offer", clogLink, 0, 1'000'000, true},
      {"no receive rate and no offer", clogLink, 0, 0, false},
      {"half the offer compared as a double: 500,000.5 > 500,000", clogLink, 500'000, 1'000'001, true},
      {"exactly twice the receive rate is not over-offered", clogLink, 500'000, 1'000'000, false},
      {"not exhausted", linkWith(0.3, false), 400'000, 1'000'000, false},
      {"visible loss exactly 0.12", linkWith(0.12), 400'000, 1'000'000, false},
      {"visible loss above 0.12", linkWith(0.1201), 400'000, 1'000'000, true},
  };
  for (const Row& r : rows) {
    Driver d;
    EXPECT_EQ(d.stepsToEngage(r.link, r.rx, 75, 16'000, r.applied) == 75, r.clogged) << r.why;
  }
}

TEST(FluidityGovernor, DrainCapFollowsTheReceiveRate) {
  struct Row { const char* why; int64_t rx, cap; };
  const Row rows[] = {
      {"0.7 × 100,000 is below the lowest drain cap", 100'000, 150'000},
      {"0.7 × 600,000", 600'000, 420'000},
      {"0.7 × 750,000 is above the highest drain cap", 750'000, 500'000},
  };
  for (const Row& r : rows) {
    Driver d;
    d.stepsToEngage(clogLink, r.rx, 75);
    EXPECT_EQ(d.step(clogLink, r.rx).capBps, r.cap) << r.why;
  }
  Driver d;
  d.stepsToEngage(clogLink, 100'000, 75);
  EXPECT_EQ(d.step(goodLink, 1'000'000).capBps, 500'000) << "in drain the cap follows any receive rate";
  EXPECT_EQ(d.g.phaseValue(), FluidityGovernor::drain);
}

TEST(FluidityGovernor, DrainsThenProbesAtTwentyFivePercentPerSecond) {
  Driver d;
  d.stepsToEngage(clogLink, 571'429, 75);  // drain cap Int(400,000.3)
  EXPECT_EQ(d.step(clogLink, 571'429, 500'000).phase, 1);
  EXPECT_EQ(d.step(clogLink, 571'429, 500'000).phase, 1);
  GovernorDecision atSwitch = d.step(clogLink, 571'429, 500'000);
  EXPECT_EQ(atSwitch.phase, 2) << "1.5 s in drain";
  EXPECT_EQ(atSwitch.capBps, 400'000) << "the switch itself does not grow the cap";
  EXPECT_EQ(d.step(goodLink, 571'429, 500'000).capBps, 447'213) << "Int(400,000 × 1.25^0.5)";

  // Renewed trouble while the receive rate is low sends it back to drain.
  GovernorDecision back = d.step(clogLink, 571'429, 16'000);
  EXPECT_EQ(back.phase, 1);
  EXPECT_EQ(back.capBps, 400'000);
  struct Row { const char* why; LinkState link; int64_t rx; int64_t phase; };
  const Row rows[] = {
      {"high loss with a low receive rate", clogLink, 400'000, 1},
      {"delay pressure above 0.8 with a low receive rate", linkWith(0, true, 0.81), 400'000, 1},
      {"delay pressure exactly 0.8 keeps probing", linkWith(0, true, 0.8), 400'000, 2},
      {"visible loss exactly 0.15 keeps probing", linkWith(0.15), 400'000, 2},
      {"high loss with a healthy receive rate keeps probing", clogLink, 800'000, 2},
  };
  for (const Row& r : rows) {
    Driver p;
    p.stepsToEngage(clogLink, 400'000, 75);
    p.step(clogLink, 400'000, 1'500'000);  // into probe
    ASSERT_EQ(p.g.phaseValue(), 2);
    EXPECT_EQ(p.step(r.link, r.rx).phase, r.phase) << r.why;
  }
}

TEST(FluidityGovernor, ReleasesAfterThreeSecondsOfGoodTimeAtTheFloor) {
  Driver d;
  d.floor = 500'000;
  d.stepsToEngage(clogLink, 750'000, 75);  // drain cap 500,000: already the floor
  d.step(clogLink, 750'000, 1'500'000);    // into probe
  for (int i = 0; i < 29; ++i) ASSERT_TRUE(d.step(goodLink, 750'000, 100'000).engaged) << i;
  EXPECT_FALSE(d.step(goodLink, 750'000, 100'000).engaged) << "30 × 100 ms at the floor";
  EXPECT_EQ(d.g.phaseValue(), 0);

  // Loss at or above the release threshold (0.05 here) interrupts the count.
  Driver e;
  e.floor = 500'000;
  e.stepsToEngage(clogLink, 750'000, 75);
  e.step(clogLink, 750'000, 1'500'000);
  for (int i = 0; i < 29; ++i) e.step(goodLink, 750'000, 100'000);
  EXPECT_TRUE(e.step(linkWith(0.05), 750'000, 100'000).engaged);
  for (int i = 0; i < 29; ++i) ASSERT_TRUE(e.step(goodLink, 750'000, 100'000).engaged) << i;
  EXPECT_FALSE(e.step(goodLink, 750'000, 100'000).engaged);
}

TEST(FluidityGovernor, EngagementEndsAfterTwoMinutesOrTwentyFiveSecondsWithAHealthyReceiveRate) {
  // 130 s of continuous trouble, updates every 16 ms.
  Driver d;
  std::vector<std::pair<int, bool>> changes;
  bool engaged = false;
  for (int i = 0; i < 8'125; ++i) {
    bool now = d.step(clogLink, 400'000).engaged;
    if (now != engaged) changes.emplace_back(i, now);
    engaged = now;
  }
  std::vector<std::pair<int, bool>> expected{{74, true}, {74 + 7'500, false}, {74 + 7'500 + 74, true}};
  EXPECT_EQ(changes, expected) << "released at 120 s, engaged again 1.2 s later";

  // A healthy receive rate releases after 25 s even while the loss stays high.
  Driver h;
  h.stepsToEngage(clogLink, 400'000, 75);
  uint64_t engagedAt = h.now;
  while (h.step(clogLink, 900'000, 100'000).engaged) ASSERT_LT(h.now - engagedAt, 25'000'000u);
  EXPECT_EQ(h.now - engagedAt, 25'000'000u);
}

TEST(FluidityGovernor, EngagedDecisionFollowsCapFloorAndFrameRate) {
  struct Row {
    const char* why;
    int64_t cap, floor, fps;
    double pressure;
    int64_t qp, shortBytes, longBytes;
    bool suppress;
  };
  const Row rows[] = {
      {"the lowest drain cap is full pressure", 150'000, 2'000'000, 60, 1.0, 48, 1'310, 18'750, true},
      {"half way: QP 44 + round(2)", 1'075'000, 2'000'000, 60, 0.5, 46, 6'718, 134'375, false},
      {"at the floor no pressure", 2'000'000, 2'000'000, 60, 0.0, 44, 12'500, 250'000, false},
      {"60 fps, 400,000: 2,500 and 50,000", 400'000, 1'000'000, 60, 600.0 / 850, 47, 2'500, 50'000, true},
      {"24 fps, 400,000: evaluated left to right 6,249", 400'000, 1'000'000, 24, 600.0 / 850, 47, 6'249, 50'000,
       true},
      {"fps 0 counts as 1: a two-second window", 400'000, 1'000'000, 0, 600.0 / 850, 47, 150'000, 50'000, true},
      {"negative fps counts as 1", 400'000, 1'000'000, -30, 600.0 / 850, 47, 150'000, 50'000, true},
      {"a very high frame rate keeps a 20 ms window", 400'000, 1'000'000, 1'000, 600.0 / 850, 47, 1'500, 50'000,
       true},
      {"tiny budgets never go below one chunk", 8'000, 1'000'000, 60, 1.0, 48, 1'310, 1'310, true},
      {"no cap uses the floor", GovernorDecision::noCap, 1'000'000, 60, 0.0, 44, 6'250, 125'000, false},
      {"a floor at the lowest drain cap divides by 1", 150'000, 150'000, 60, 0.0, 44, 1'310, 18'750, true},
      {"just below 1,000,000 suppresses parity", 999'999, 2'000'000, 60, 1'000'001.0 / 1'850'000, 46, 6'249,
       124'999, true},
  };
  for (const Row& r : rows) {
    GovernorDecision d = FluidityGovernor::engagedDecision(2, r.cap, r.floor, r.fps);
    EXPECT_TRUE(d.engaged) << r.why;
    EXPECT_EQ(d.phase, 2) << r.why;
    EXPECT_EQ(d.capBps, r.cap) << r.why;
    EXPECT_DOUBLE_EQ(d.pressure, r.pressure) << r.why;
    EXPECT_EQ(d.maxFrameQP, r.qp) << r.why;
    EXPECT_EQ(d.dataRateShortBytes, r.shortBytes) << r.why;
    EXPECT_EQ(d.dataRateLongBytes, r.longBytes) << r.why;
    EXPECT_EQ(d.suppressPFec, r.suppress) << r.why;
    EXPECT_EQ(d.rtxRefillPerSec, r.suppress ? 40.0 : 300.0) << r.why;
    EXPECT_EQ(d.rtxTokensMax, r.suppress ? 4.0 : 15.0) << r.why;
  }
}

TEST(FluidityGovernor, IdleDecisionAndReset) {
  Driver d;
  GovernorDecision idle = d.step(goodLink, 5'000'000);
  EXPECT_EQ(idle, GovernorDecision{});

  d.stepsToEngage(clogLink, 400'000, 75);
  d.g.reset();
  EXPECT_EQ(d.g.phaseValue(), 0);
  EXPECT_EQ(d.step(clogLink, 400'000), GovernorDecision{}) << "idle again, accumulating from zero";
  EXPECT_EQ(d.stepsToEngage(clogLink, 400'000, 200), 74);
}

}  // namespace
}  // namespace vela
