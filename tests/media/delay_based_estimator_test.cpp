#include "media/delay_based_estimator.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vela {
namespace {

constexpr uint64_t t0 = 1'000'000'000'000ULL;
constexpr uint64_t frameUs = 16'667;
constexpr uint64_t pathUs = 10'000;  // one-way delay of an empty path

DelayBasedEstimator::Config config() {
  return {.windowSize = 20, .smoothingCoef = 0.9, .thresholdGain = 4.0, .minNumDeltas = 60, .initialThresholdMs = 12.5,
          .kUp = 0.0087, .kDown = 0.039, .overusingTimeThresholdMs = 10, .maxAdaptOffsetMs = 15, .thresholdMinMs = 6,
          .thresholdMaxMs = 600, .maxTimeDeltaMs = 100, .deltaCounterMax = 1000, .rateTauSec = 0.5,
          .keyframeOutlierFactor = 3};
}

char letter(DelaySignal s) { return "-NOU"[static_cast<int>(s)]; }

// Frames sent every 16,667 µs whose queueing delay follows `queueUs` (one entry per frame); the verdicts
// as a string: '-' noData, 'N' normal, 'O' overuse, 'U' underuse.
std::string verdicts(DelayBasedEstimator& e, const std::vector<uint64_t>& queueUs, uint64_t firstFrame = 0) {
  std::string out;
  for (size_t i = 0; i < queueUs.size(); ++i) {
    uint64_t send = t0 + (firstFrame + i) * frameUs;
    out += letter(e.addFrame(send, send + pathUs + queueUs[i], 5'000, true, false));
  }
  return out;
}

TEST(DelayBasedEstimator, SteadyThenBuildingThenDrainingQueue) {
  std::vector<uint64_t> queue;
  for (int i = 0; i < 60; ++i) queue.push_back(0);                 // frames 0-59: steady
  for (int i = 1; i <= 30; ++i) queue.push_back(5'000 * i);        // 60-89: +5 ms per frame
  for (int i = 29; i >= 0; --i) queue.push_back(5'000 * i);        // 90-119: draining 5 ms per frame
  for (int i = 0; i < 90; ++i) queue.push_back(0);                 // 120-209: steady again
  DelayBasedEstimator e(config());
  std::string v = verdicts(e, queue);

  // The first frame only sets the references, so the window of 20 deltas is full at frame 20. The
  // smoothed delay lags the queue: the trend crosses the threshold 7 frames into the build and overuse
  // needs a second frame over it; it stays until the trend falls back 8 frames into the drain, and
  // underuse lasts until the smoothed delay has flattened 23 frames after the queue is empty.
  std::string expected = std::string(20, '-') +  // frames 0-19: window filling
                         std::string(48, 'N') +  // 20-67: steady, then the first 8 building frames
                         std::string(30, 'O') +  // 68-97
                         std::string(9, 'N') +   // 98-106
                         std::string(36, 'U') +  // 107-142
                         std::string(67, 'N');   // 143-209
  EXPECT_EQ(v, expected);
  EXPECT_GT(e.recvRateBps(), 0);
}

TEST(DelayBasedEstimator, IgnoresFramesNotSentAfterTheLastOne) {
  DelayBasedEstimator e(config());
  verdicts(e, std::vector<uint64_t>(30, 0));
  double trend = e.currentTrend();
  int64_t rate = e.recvRateBps();
  uint64_t last = t0 + 29 * frameUs;
  for (uint64_t send : {last, last - 1, t0}) {
    EXPECT_EQ(e.addFrame(send, last + 900'000, 50'000, true, false), DelaySignal::normal);
    EXPECT_EQ(e.currentTrend(), trend);
    EXPECT_EQ(e.recvRateBps(), rate);
  }
}

TEST(DelayBasedEstimator, AnIdleGapRestartsTheWindow) {
  struct Row { const char* why; uint64_t sendGapUs, recvGapUs; bool restarts; };
  const Row rows[] = {
      {"a send gap above 200 ms", 200'001, 200'001, true},
      {"an arrival gap above 200 ms", frameUs, 200'001 + pathUs, true},
      {"exactly 200 ms apart in both", 200'000, 200'000, false},
  };
  for (const Row& r : rows) {
    DelayBasedEstimator e(config());
    verdicts(e, std::vector<uint64_t>(30, 0));
    uint64_t lastSend = t0 + 29 * frameUs;
    uint64_t lastRecv = lastSend + pathUs;
    DelaySignal s = e.addFrame(lastSend + r.sendGapUs, lastRecv + r.recvGapUs, 5'000, true, false);
    EXPECT_EQ(s == DelaySignal::noData, r.restarts) << r.why;
    if (!r.restarts) continue;
    EXPECT_EQ(e.currentTrend(), 0.0) << r.why;
    // The window fills again from the next delta.
    uint64_t base = lastSend + r.sendGapUs;
    uint64_t baseRecv = lastRecv + r.recvGapUs;
    std::string v;
    for (uint64_t i = 1; i <= 20; ++i) v += letter(e.addFrame(base + i * frameUs, baseRecv + i * frameUs, 5'000, true, false));
    EXPECT_EQ(v, std::string(19, '-') + "N") << r.why;
  }
}

TEST(DelayBasedEstimator, OutliersAndRepairedFramesFeedOnlyTheReceiveRate) {
  DelayBasedEstimator e(config());
  verdicts(e, std::vector<uint64_t>(30, 0));
  int64_t rate = e.recvRateBps();
  double trend = e.currentTrend();
  uint64_t send = t0 + 30 * frameUs;

  // A keyframe arriving 50 ms late: its huge rate sample is capped at twice the current rate.
  EXPECT_EQ(e.addFrame(send, send + pathUs + 50'000, 400'000, true, true), DelaySignal::normal);
  EXPECT_GT(e.recvRateBps(), rate);
  EXPECT_LE(e.recvRateBps(), 2 * rate);
  EXPECT_EQ(e.currentTrend(), trend) << "never the delay analysis";

  // A frame more than three times the mean size is an outlier even without the keyframe mark.
  send += frameUs;
  e.addFrame(send, send + pathUs + 50'000, 16'000, true, false);
  EXPECT_EQ(e.currentTrend(), trend);

  // A repaired frame: rate only. The next clean frame is measured against the last clean one.
  send += frameUs;
  int64_t before = e.recvRateBps();
  e.addFrame(send, send + pathUs + 80'000, 5'000, false, false);
  EXPECT_NE(e.recvRateBps(), before);
  EXPECT_EQ(e.currentTrend(), trend);
  send += frameUs;
  EXPECT_EQ(e.addFrame(send, send + pathUs, 5'000, true, false), DelaySignal::normal);
}

TEST(DelayBasedEstimator, ReorderedArrivalsNeitherWrapNorMoveTheRate) {
  DelayBasedEstimator e(config());
  verdicts(e, std::vector<uint64_t>(30, 0));
  int64_t rate = e.recvRateBps();
  uint64_t send = t0 + 30 * frameUs;
  // Arrives before the previous frame did: a negative arrival delta, not an enormous one.
  e.addFrame(send, t0 + 28 * frameUs, 5'000, true, false);
  EXPECT_EQ(e.recvRateBps(), rate);
  EXPECT_LT(e.currentTrend(), 1.0);
}

TEST(DelayBasedEstimator, ResetKeepsRateAndMeanSize) {
  DelayBasedEstimator e(config());
  verdicts(e, std::vector<uint64_t>(30, 0));
  int64_t rate = e.recvRateBps();
  e.reset();
  EXPECT_EQ(e.currentState(), DelaySignal::noData);
  EXPECT_EQ(e.currentThresholdMs(), 12.5);
  EXPECT_EQ(e.recvRateBps(), rate);
  EXPECT_EQ(verdicts(e, std::vector<uint64_t>(22, 0), 100), std::string(20, '-') + "NN") << "starts over";
}

TEST(DelayBasedEstimator, DegenerateWindowSizesDoNotFail) {
  for (int64_t size : {int64_t{-5}, int64_t{0}, int64_t{1}}) {
    DelayBasedEstimator::Config c = config();
    c.windowSize = size;
    DelayBasedEstimator e(c);
    std::string v = verdicts(e, std::vector<uint64_t>(10, 0));
    EXPECT_EQ(v.substr(1), std::string(9, 'N')) << "window " << size << ": " << v;
  }
}

}  // namespace
}  // namespace vela
