#pragma once
// The receiving side's one-way-delay detector. For every received video frame it compares how far
// apart two frames were sent with how far apart they arrived; a growing difference means a queue is
// building on the path. A least-squares trend over a window of smoothed accumulated delay differences
// is compared with an adaptive threshold, and the verdict is the DelaySignal the client reports in its
// frame feedback, together with a smoothed receive rate. Only the client runs it; the host acts on
// the byte and the rate it produces.
//
// No lock: one thread feeds an instance. No allocation after construction.
#include <cstdint>
#include <optional>
#include <vector>

#include "media/delay_signal.hpp"

namespace vela {

class DelayBasedEstimator {
 public:
  // Tuning values; the creator supplies every one (there are no stored defaults).
  struct Config {
    int64_t windowSize = 0;             // points in the trend window
    double smoothingCoef = 0;           // weight of the old value in the smoothed delay
    double thresholdGain = 0;           // gain applied to the trend
    double minNumDeltas = 0;            // cap on the delta count used to scale the trend
    double initialThresholdMs = 0;
    double kUp = 0;                     // threshold adaptation speed while the signal is above it
    double kDown = 0;                   // ... and while it is below it
    double overusingTimeThresholdMs = 0;// time above the threshold before overuse is declared
    double maxAdaptOffsetMs = 0;        // no adaptation to signals more than this above the threshold
    double thresholdMinMs = 0;
    double thresholdMaxMs = 0;
    double maxTimeDeltaMs = 0;          // cap on the time step of one threshold adaptation
    double deltaCounterMax = 0;         // cap on the delta counter
    double rateTauSec = 0;              // time constant of the receive-rate average
    double keyframeOutlierFactor = 0;   // a frame this many times the mean size is an outlier
  };

  static constexpr int64_t idleGapUs = 200'000;  // a longer gap restarts the trend

  explicit DelayBasedEstimator(const Config& config);

  DelaySignal addFrame(uint64_t sendUs, uint64_t recvUs, int64_t sizeBytes, bool clean, bool isKeyframe);
  void reset();

  DelaySignal currentState() const { return state_; }
  double currentTrend() const { return trend_; }
  double currentThresholdMs() const { return thresholdMs_; }
  int64_t recvRateBps() const;

 private:
  struct Point {
    double arrMs;
    double smoothed;
  };

  void clearTrendline();
  void updateTrendline(double deltaMs, uint64_t arrivalUs);
  void detect(double sendDeltaMs, uint64_t nowUs);
  void adaptThreshold(double modified, uint64_t nowUs);

  const Config cfg_;
  const int64_t window_;  // the configured window, at least one point
  double accumulatedDelayMs_ = 0;
  double smoothedDelayMs_ = 0;
  std::optional<uint64_t> firstArrivalUs_;
  std::vector<Point> history_;  // a ring of window_ points
  int64_t historyHead_ = 0;     // index of the oldest point once the ring is full, else 0
  int64_t historyCount_ = 0;
  double numDeltas_ = 0;
  double trend_ = 0;
  double prevTrend_ = 0;
  double timeOverUsingMs_ = -1;  // −1 = not overusing
  int64_t overuseCounter_ = 0;
  double thresholdMs_;
  std::optional<uint64_t> lastThresholdUpdateUs_;
  DelaySignal state_ = DelaySignal::noData;
  bool sawFirstDelta_ = false;
  std::optional<uint64_t> lastSendUs_;
  std::optional<uint64_t> lastArrivalUs_;
  std::optional<uint64_t> refSendUs_;
  std::optional<uint64_t> refRecvUs_;
  double rateBps_ = 0;
  double meanSizeBytes_ = 0;
};

}  // namespace vela
