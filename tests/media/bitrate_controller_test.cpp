#include "media/bitrate_controller.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "platform/runtime/json_store.hpp"

namespace vela {
namespace {

using Tunables = BitrateController::Tunables;
using Feedback = BitrateController::Feedback;

constexpr uint64_t t0 = 1'000'000'000'000ULL;
const Feedback cleanFrame{false, 0, 4'000, 16'666};
const Feedback lostFrame{true, 0, 0, 16'666};

// 1280 × 720 at 60 fps with the default quality gives a quality cap of 12,000,000.
BitrateController make(int64_t start, int64_t floor = 1'000'000, std::optional<int64_t> cap = std::nullopt,
                       Tunables tunables = {}) {
  return BitrateController(1280, 720, 60, start, floor, cap, tunables);
}

void feed(BitrateController& c, const Feedback& fb, int n) {
  for (int i = 0; i < n; ++i) c.onFeedback(fb);
}

TEST(BitrateController, ConstructionSetsCeilingFloorAndStart) {
  struct Row {
    const char* why;
    int64_t w, h, fps, start, floor;
    std::optional<int64_t> cap;
    int64_t ceiling, floorBps, applied;
  };
  const Row rows[] = {
      {"quality cap 5,529,600 is raised to 12,000,000; start is clamped to it", 1280, 720, 60, 20'000'000,
       1'000'000, std::nullopt, 12'000'000, 1'000'000, 12'000'000},
      {"4K60 quality cap is Int(0.1 × 497,664,000)", 3840, 2160, 60, 20'000'000, 1'000'000, std::nullopt,
       49'766'400, 1'000'000, 20'000'000},
      {"a user cap at construction is the ceiling even above the quality cap", 1280, 720, 60, 20'000'000,
       1'000'000, 50'000'000, 50'000'000, 1'000'000, 20'000'000},
      {"a start below the floor begins at the floor", 1280, 720, 60, 100'000, 800'000, std::nullopt,
       12'000'000, 800'000, 800'000},
      {"a floor above the ceiling is clamped to it", 1280, 720, 60, 5'000'000, 3'000'000, 2'000'000,
       2'000'000, 2'000'000, 2'000'000},
      {"fps 0 gives a zero pixel rate: the minimum quality cap", 1280, 720, 0, 20'000'000, 1'000'000,
       std::nullopt, 12'000'000, 1'000'000, 12'000'000},
      {"negative fps never yields a negative cap", 1280, 720, -60, 20'000'000, 1'000'000, std::nullopt,
       12'000'000, 1'000'000, 12'000'000},
      {"an absurd stream size saturates instead of overflowing: Int(0.1 × 2^63)", INT64_MAX / 2, 3, 1000,
       20'000'000, 1'000'000, std::nullopt, 922'337'203'685'477'632, 1'000'000, 20'000'000},
  };
  for (const Row& r : rows) {
    BitrateController c(r.w, r.h, r.fps, r.start, r.floor, r.cap, Tunables{});
    EXPECT_EQ(c.ceilingBps(), r.ceiling) << r.why;
    EXPECT_EQ(c.floorBps(), r.floorBps) << r.why;
    EXPECT_EQ(c.appliedBitrate(), r.applied) << r.why;
    EXPECT_EQ(c.bitrate(), r.applied) << r.why;
    EXPECT_EQ(c.delayBitrateBps(), r.ceiling) << r.why;
    EXPECT_EQ(c.hasUserCap(), r.cap.has_value()) << r.why;
  }
}

TEST(BitrateController, QualitySettingOutsideAFiniteUnitRangeFallsBackOrClamps) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Row { const char* why; std::optional<double> stored; double used; };
  const Row rows[] = {
      {"absent", std::nullopt, 0.1},
      {"a sound value is kept", 0.25, 0.25},
      {"NaN would reach an integer conversion", std::nan(""), 0.1},
      {"+infinity", inf, 0.1},
      {"-infinity", -inf, 0.1},
      {"negative", -0.5, 0.1},
      {"zero bits per pixel is no quality", 0.0, 0.1},
      {"huge is clamped to one bit per pixel", 1e300, 1.0},
      {"exactly one is kept", 1.0, 1.0},
  };
  for (const Row& r : rows) EXPECT_EQ(Tunables::sanitizedQualityBpp(r.stored), r.used) << r.why;

  // Through the settings store, and on to the 4K60 quality cap (497,664,000 pixels per second).
  struct StoreRow { const char* why; tavlo::JsonValue stored; int64_t ceiling; };
  const StoreRow storeRows[] = {
      {"0.2 bits per pixel", 0.2, 99'532'800},
      {"an integer reads as a double", 1, 497'664'000},
      {"a string is another type: absent", "0.3", 49'766'400},
      {"a huge value is clamped to 1", 1e300, 497'664'000},
      {"a negative value falls back to the default", -3.0, 49'766'400},
  };
  for (const StoreRow& r : storeRows) {
    tavlo::Settings settings;
    settings.set("tl.qualityBpp", r.stored);
    BitrateController c(3840, 2160, 60, 1'000'000, 1'000'000, std::nullopt, settings);
    EXPECT_EQ(c.ceilingBps(), r.ceiling) << r.why;
  }
  // A NaN quality handed over directly is sanitised too.
  BitrateController direct(3840, 2160, 60, 1'000'000, 1'000'000, std::nullopt, Tunables{std::nan(""), true});
  EXPECT_EQ(direct.ceilingBps(), 49'766'400);
}

TEST(BitrateController, CommitsOnlyMovesAboveFivePercent) {
  // From an applied 10,000,000, one clean run lifts the loss loop to the user cap.
  auto climbTo = [](int64_t cap) {
    BitrateController c = make(10'000'000, 1'000'000, cap);
    std::optional<int64_t> last;
    for (int i = 0; i < 30; ++i) last = c.onFeedback(cleanFrame);
    return std::pair{last, c.appliedBitrate()};
  };
  EXPECT_EQ(climbTo(10'500'000), std::pair(std::optional<int64_t>{}, int64_t{10'000'000})) << "exactly 5 %";
  EXPECT_EQ(climbTo(10'500'001), std::pair(std::optional<int64_t>{10'500'001}, int64_t{10'500'001}));

  // Small moves accumulate until together they pass 5 %.
  BitrateController c = make(10'000'000);
  feed(c, cleanFrame, 29);
  EXPECT_EQ(c.onFeedback({false, 0, 12'000, 16'666}), std::nullopt) << "a slow frame: 9,500,000 is exactly 5 %";
  EXPECT_EQ(c.bitrate(), 9'500'000);
  EXPECT_EQ(c.appliedBitrate(), 10'000'000);
  EXPECT_EQ(c.onFeedback({false, 0, 12'000, 16'666}), 9'025'000) << "the second 5 % step passes";
}

TEST(BitrateController, LossLoopCutsAndClimbs) {
  BitrateController c = make(10'000'000);
  EXPECT_EQ(c.onFeedback(lostFrame), 9'200'000) << "an 8 % cut is applied";

  // 29 clean frames change nothing; the 30th adds 2,000,000.
  for (int i = 0; i < 29; ++i) EXPECT_EQ(c.onFeedback(cleanFrame), std::nullopt);
  EXPECT_EQ(c.onFeedback(cleanFrame), 11'200'000);
  feed(c, cleanFrame, 30);
  EXPECT_EQ(c.bitrate(), 12'000'000) << "never above the ceiling";

  // With slowRecovery the climb is 1,000,000 per 60 clean frames.
  BitrateController slow = make(5'000'000);
  slow.slowRecovery = true;
  feed(slow, cleanFrame, 59);
  EXPECT_EQ(slow.bitrate(), 5'000'000);
  EXPECT_EQ(slow.onFeedback(cleanFrame), 6'000'000);

  // Repeated losses stop at the floor.
  feed(c, lostFrame, 100);
  EXPECT_EQ(c.bitrate(), 1'000'000);
  EXPECT_EQ(c.appliedBitrate(), 1'000'000);
}

TEST(BitrateController, CongestionAndSlowAssemblyBoundaries) {
  struct Row { const char* why; Feedback fb; int64_t bitrate; };
  const Row rows[] = {
      {"two NACK rounds count as congestion", {false, 2, 0, 16'666}, 9'200'000},
      {"one NACK round does not", {false, 1, 0, 16'666}, 10'000'000},
      {"16,666 × 7 ÷ 10 = 11,666 is still clean", {false, 0, 11'666, 16'666}, 10'000'000},
      {"11,667 is slow: a 5 % cut", {false, 0, 11'667, 16'666}, 9'500'000},
      {"an unknown frame interval never makes a frame slow", {false, 0, 4'000'000'000u, 0}, 10'000'000},
      {"the interval × 7 does not overflow 32 bits", {false, 0, 4'000'000'000u, 4'000'000'000u}, 9'500'000},
      {"a lost frame wins over slow assembly", {true, 0, 20'000, 16'666}, 9'200'000},
  };
  for (const Row& r : rows) {
    BitrateController c = make(10'000'000);
    c.onFeedback(r.fb);
    EXPECT_EQ(c.bitrate(), r.bitrate) << r.why;
  }
}

TEST(BitrateController, DelayLoopCutsAtMostOncePerHold) {
  struct Row { const char* why; uint64_t gapUs; int64_t delayBitrate; };
  const Row rows[] = {
      {"300,000 µs apart: the second is inside the hold", 300'000, 10'200'000},
      {"400,000 µs apart: both cut", 400'000, 8'670'000},
  };
  for (const Row& r : rows) {
    BitrateController c = make(12'000'000);
    EXPECT_EQ(c.onDelaySignal(DelaySignal::overuse, 0, t0), 10'200'000) << r.why;
    c.onDelaySignal(DelaySignal::overuse, 0, t0 + r.gapUs);
    EXPECT_EQ(c.delayBitrateBps(), r.delayBitrate) << r.why;
  }

  struct BaseRow { const char* why; int64_t recvRateBps; int64_t delayBitrate; };
  const BaseRow bases[] = {
      {"unknown receive rate: cut from the delay cap", 0, 10'200'000},
      {"a receive rate above the delay cap: cut from the delay cap", 20'000'000, 10'200'000},
      {"a lower receive rate is the base", 4'000'000, 3'400'000},
      {"the floor wins over the cut", 400'000, 1'000'000},
  };
  for (const BaseRow& r : bases) {
    BitrateController c = make(12'000'000);
    c.onDelaySignal(DelaySignal::overuse, r.recvRateBps, t0);
    EXPECT_EQ(c.delayBitrateBps(), r.delayBitrate) << r.why;
    EXPECT_EQ(c.appliedBitrate(), r.delayBitrate) << r.why << ": the lower loop wins";
  }
}

TEST(BitrateController, DelayLoopClimbsOnRunsOfNormal) {
  BitrateController c = make(12'000'000);
  c.onDelaySignal(DelaySignal::overuse, 4'000'000, t0);  // delay cap 3,400,000
  for (int i = 0; i < 14; ++i) EXPECT_EQ(c.onDelaySignal(DelaySignal::normal, 0, t0), std::nullopt);
  EXPECT_EQ(c.onDelaySignal(DelaySignal::normal, 0, t0), 4'400'000);

  c.slowRecovery = true;
  for (int i = 0; i < 29; ++i) c.onDelaySignal(DelaySignal::normal, 0, t0);
  EXPECT_EQ(c.delayBitrateBps(), 4'400'000);
  c.onDelaySignal(DelaySignal::normal, 0, t0);
  EXPECT_EQ(c.delayBitrateBps(), 4'900'000);

  c.slowRecovery = false;
  for (int i = 0; i < 15 * 20; ++i) c.onDelaySignal(DelaySignal::normal, 0, t0);
  EXPECT_EQ(c.delayBitrateBps(), 12'000'000) << "never above the ceiling";
}

TEST(BitrateController, NoDataAndUnderuseHoldOrBreakTheRunBySetting) {
  struct Row {
    const char* why;
    bool hold;
    DelaySignal interruption;
    int64_t delayBitrate;  // after 10 normal, the interruption, 5 normal
  };
  const DelaySignal unknown = static_cast<DelaySignal>(9);
  const Row rows[] = {
      {"noData holds the run", true, DelaySignal::noData, 4'400'000},
      {"underuse holds the run", true, DelaySignal::underuse, 4'400'000},
      {"an unknown value is noData", true, unknown, 4'400'000},
      {"without the hold noData restarts the run", false, DelaySignal::noData, 3'400'000},
      {"without the hold underuse restarts the run", false, DelaySignal::underuse, 3'400'000},
      {"without the hold an unknown value restarts it too", false, unknown, 3'400'000},
  };
  for (const Row& r : rows) {
    tavlo::Settings settings;
    settings.set("tl.delayRecoveryHoldOnNoData", r.hold);
    BitrateController c(1280, 720, 60, 12'000'000, 1'000'000, std::nullopt, settings);
    c.onDelaySignal(DelaySignal::overuse, 4'000'000, t0);
    for (int i = 0; i < 10; ++i) c.onDelaySignal(DelaySignal::normal, 0, t0);
    c.onDelaySignal(r.interruption, 0, t0);
    EXPECT_EQ(c.delayBitrateBps(), 3'400'000) << r.why << ": neither moves the delay cap";
    for (int i = 0; i < 5; ++i) c.onDelaySignal(DelaySignal::normal, 0, t0);
    EXPECT_EQ(c.delayBitrateBps(), r.delayBitrate) << r.why;
  }
  EXPECT_EQ(delaySignalFromByte(3), DelaySignal::underuse);
  EXPECT_EQ(delaySignalFromByte(4), DelaySignal::noData);
  EXPECT_EQ(delaySignalFromByte(255), DelaySignal::noData);
}

TEST(BitrateController, AnchorPullsBothLoopsDownOnly) {
  BitrateController c = make(10'000'000);
  EXPECT_EQ(c.anchor(10'000'000), std::nullopt) << "at min(bitrate, delay cap): nothing";
  EXPECT_EQ(c.anchor(11'000'000), std::nullopt);
  EXPECT_EQ(c.bitrate(), 10'000'000);
  EXPECT_EQ(c.anchor(6'000'000), 6'000'000);
  EXPECT_EQ(c.delayBitrateBps(), 6'000'000);
  EXPECT_EQ(c.anchor(100), 1'000'000) << "never below the effective floor";
}

TEST(BitrateController, FloorDemotionAndRestore) {
  BitrateController c = make(2'000'000, 1'000'000);
  c.demoteFloor(100'000);
  EXPECT_EQ(c.anchor(0), 500'000) << "a demotion never goes below 500,000";
  c.restoreFloor();
  EXPECT_EQ(c.onFeedback(lostFrame), 1'000'000) << "the next commit applies the restored floor";

  // 500,000 wins even over a configured floor below it.
  BitrateController low = make(2'000'000, 300'000);
  low.demoteFloor(100'000);
  EXPECT_EQ(low.anchor(0), 500'000);
}

TEST(BitrateController, UserCapAfterConstructionIsLimitedByTheQualityCap) {
  BitrateController c = make(8'000'000, 1'000'000, 50'000'000);
  EXPECT_EQ(c.ceilingBps(), 50'000'000);
  c.seedProven(40'000'000);
  c.setUserCap(50'000'000);
  EXPECT_EQ(c.ceilingBps(), 12'000'000);
  EXPECT_EQ(c.provenRateBps(), 12'000'000);

  c.setUserCap(600'000);
  EXPECT_EQ(c.ceilingBps(), 600'000);
  EXPECT_EQ(c.floorBps(), 600'000) << "the floor follows a lower ceiling";
  EXPECT_EQ(c.bitrate(), 600'000);
  EXPECT_EQ(c.delayBitrateBps(), 600'000);
  EXPECT_EQ(c.appliedBitrate(), 8'000'000) << "no commit";

  c.demoteFloor(500'000);
  c.setUserCap(std::nullopt);
  EXPECT_FALSE(c.hasUserCap());
  EXPECT_EQ(c.ceilingBps(), 12'000'000);
  EXPECT_EQ(c.floorBps(), 1'000'000) << "the configured floor comes back and the demotion ends";
  EXPECT_EQ(c.bitrate(), 1'000'000) << "clamped up to the floor";
}

TEST(BitrateController, PlateauFallsBackToTheProvenRateAndDemotesIt) {
  BitrateController c = make(8'000'000);
  c.plateau = true;
  c.seedProven(6'000'000);
  EXPECT_EQ(c.onFeedback(lostFrame), 6'000'000) << "above the proof: fall back to it";
  EXPECT_EQ(c.onFeedback(lostFrame), 4'845'000) << "at the proof: 95 % of it, then 85 % of that";
  EXPECT_EQ(c.provenRateBps(), 5'700'000);

  c.resetLearning();
  EXPECT_EQ(c.provenRateBps(), 0);
  c.onFeedback(lostFrame);
  EXPECT_EQ(c.bitrate(), 4'457'400) << "without a proof the plain 8 % cut";
}

TEST(BitrateController, PlateauProvesAndClimbsCautiouslyThenQuickly) {
  BitrateController c = make(4'000'000);
  c.plateau = true;
  feed(c, cleanFrame, 179);
  EXPECT_EQ(c.bitrate(), 4'000'000);
  c.onFeedback(cleanFrame);
  EXPECT_EQ(c.bitrate(), 4'320'000) << "after 180 clean frames: +8 % (more than +100,000)";
  feed(c, cleanFrame, 120);
  EXPECT_EQ(c.provenRateBps(), 4'320'000) << "300 clean frames prove the rate";
  feed(c, cleanFrame, 599);  // climbs at 360, 540 and 720 clean frames
  EXPECT_EQ(c.bitrate(), 5'441'955);
  c.onFeedback(cleanFrame);
  EXPECT_EQ(c.provenRateBps(), 5'441'955) << "the proof at 900 is taken before that frame's climb";
  EXPECT_EQ(c.bitrate(), 6'441'955) << "from a clean streak of 900: +1,000,000 per 30";
  feed(c, cleanFrame, 29);
  EXPECT_EQ(c.bitrate(), 6'441'955);
  c.onFeedback(cleanFrame);
  EXPECT_EQ(c.bitrate(), 7'441'955);

  c.onFeedback({false, 2, 0, 16'666});
  EXPECT_EQ(c.bitrate(), 5'441'955) << "congestion above the proof falls back to it";
}

TEST(BitrateController, RadioToleranceSoftensCuts) {
  BitrateController c = make(10'000'000);
  c.radioLossTolerant = true;
  c.goodputHintBps = 10'000'000;
  c.onFeedback(lostFrame);
  EXPECT_EQ(c.bitrate(), 9'200'000) << "8 % cut above the goodput hint";
  c.onFeedback(lostFrame);
  EXPECT_EQ(c.bitrate(), 9'000'000) << "never below 90 % of the goodput";
  feed(c, cleanFrame, 28);
  c.onFeedback(lostFrame);
  c.onFeedback(cleanFrame);
  c.onFeedback(cleanFrame);
  EXPECT_EQ(c.bitrate(), 11'000'000) << "a radio loss leaves the clean run standing";

  // The delay cut is floored at 90 % of the goodput, at most once per 3 s.
  c.onDelaySignal(DelaySignal::overuse, 2'000'000, t0);
  EXPECT_EQ(c.delayBitrateBps(), 9'000'000);
  c.onDelaySignal(DelaySignal::overuse, 2'000'000, t0 + 1'000'000);
  EXPECT_EQ(c.delayBitrateBps(), 1'700'000) << "within 3 s the plain cut stands";
  c.onDelaySignal(DelaySignal::overuse, 2'000'000, t0 + 3'000'000);
  EXPECT_EQ(c.delayBitrateBps(), 9'000'000);
}

TEST(BitrateController, SeedProvenKeepsTheHigherCappedValue) {
  BitrateController c = make(4'000'000);
  c.seedProven(0);
  EXPECT_EQ(c.provenRateBps(), 0);
  c.seedProven(5'000'000);
  c.seedProven(3'000'000);
  EXPECT_EQ(c.provenRateBps(), 5'000'000);
  c.seedProven(99'000'000);
  EXPECT_EQ(c.provenRateBps(), 12'000'000);
}

TEST(BitrateController, ExtremeRatesSaturateInsteadOfOverflowing) {
  BitrateController c(1280, 720, 60, INT64_MAX, 1'000'000, INT64_MAX, Tunables{});
  feed(c, cleanFrame, 30);
  EXPECT_EQ(c.bitrate(), INT64_MAX);
  c.onFeedback(lostFrame);
  EXPECT_GT(c.bitrate(), 0);
  c.plateau = true;
  feed(c, cleanFrame, 360);  // two cautious climbs of 8 %: the second passes 2^63
  EXPECT_EQ(c.bitrate(), INT64_MAX);
}

}  // namespace
}  // namespace vela
