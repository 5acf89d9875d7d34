#include "media/delay_based_estimator.hpp"

#include <algorithm>
#include <cmath>

#include "platform/runtime/checked_number.hpp"

namespace vela {
namespace {

// Signed difference of two clock readings: arrivals may be reordered, and a difference must then come
// out negative rather than wrap into an enormous positive value.
int64_t signedDelta(uint64_t later, uint64_t earlier) { return static_cast<int64_t>(later - earlier); }

}  // namespace

DelayBasedEstimator::DelayBasedEstimator(const Config& config)
    : cfg_(config),
      window_(std::max(config.windowSize, int64_t{1})),
      history_(static_cast<size_t>(window_)),
      thresholdMs_(config.initialThresholdMs) {}

int64_t DelayBasedEstimator::recvRateBps() const { return tavlo::truncateSaturating<int64_t>(rateBps_); }

DelaySignal DelayBasedEstimator::addFrame(uint64_t sendUs, uint64_t recvUs, int64_t sizeBytes, bool clean,
                                          bool isKeyframe) {
  double size = static_cast<double>(std::max(sizeBytes, int64_t{0}));
  if (!lastSendUs_) {
    lastSendUs_ = refSendUs_ = sendUs;
    lastArrivalUs_ = refRecvUs_ = recvUs;
    meanSizeBytes_ = size;
    return state_;
  }
  if (sendUs <= *lastSendUs_) return state_;  // not sent after the last one
  lastSendUs_ = sendUs;
  bool outlier = isKeyframe || (meanSizeBytes_ > 0 && meanSizeBytes_ * cfg_.keyframeOutlierFactor < size);

  if (lastArrivalUs_ && recvUs > *lastArrivalUs_) {
    double dt = static_cast<double>(recvUs - *lastArrivalUs_) / 1'000'000;
    double sample = size * 8 / dt;
    if (rateBps_ > 0 && outlier) sample = std::min(sample, std::max(2 * rateBps_, 1'000'000.0));
    rateBps_ = rateBps_ == 0 ? sample : rateBps_ + (sample - rateBps_) * (1 - std::exp(-dt / cfg_.rateTauSec));
  }
  // Outliers and frames that needed repair say nothing about queueing.
  if (outlier || !clean) return state_;

  if (!lastArrivalUs_ || recvUs > *lastArrivalUs_) lastArrivalUs_ = recvUs;
  meanSizeBytes_ += (size - meanSizeBytes_) * 0.1;
  if (!refSendUs_ || !refRecvUs_) {
    refSendUs_ = sendUs;
    refRecvUs_ = recvUs;
    return state_;
  }
  int64_t sendDelta = signedDelta(sendUs, *refSendUs_);
  int64_t recvDelta = signedDelta(recvUs, *refRecvUs_);
  refSendUs_ = sendUs;
  refRecvUs_ = recvUs;
  if (sendDelta < 1) return state_;
  if (sendDelta > idleGapUs || recvDelta > idleGapUs) {
    clearTrendline();
    return state_;
  }
  updateTrendline(static_cast<double>(recvDelta - sendDelta) / 1000, recvUs);
  detect(static_cast<double>(sendDelta) / 1000, recvUs);
  return state_;
}

void DelayBasedEstimator::clearTrendline() {
  accumulatedDelayMs_ = smoothedDelayMs_ = 0;
  firstArrivalUs_.reset();
  historyHead_ = historyCount_ = 0;
  numDeltas_ = trend_ = prevTrend_ = 0;
  timeOverUsingMs_ = -1;
  overuseCounter_ = 0;
  state_ = DelaySignal::noData;
}

void DelayBasedEstimator::updateTrendline(double deltaMs, uint64_t arrivalUs) {
  numDeltas_ = std::min(numDeltas_ + 1, cfg_.deltaCounterMax);
  sawFirstDelta_ = true;
  if (!firstArrivalUs_) firstArrivalUs_ = arrivalUs;
  accumulatedDelayMs_ += deltaMs;
  smoothedDelayMs_ = cfg_.smoothingCoef * smoothedDelayMs_ + (1 - cfg_.smoothingCoef) * accumulatedDelayMs_;

  Point p{static_cast<double>(signedDelta(arrivalUs, *firstArrivalUs_)) / 1000, smoothedDelayMs_};
  if (historyCount_ >= window_) {  // full: the newest point replaces the oldest
    history_[static_cast<size_t>(historyHead_)] = p;
    if (++historyHead_ == window_) historyHead_ = 0;
  } else {  // filling: the head stays at 0 until the ring is full
    history_[static_cast<size_t>(historyCount_)] = p;
    historyCount_ += 1;
  }
  if (historyCount_ != cfg_.windowSize || historyCount_ < 2) return;

  // Oldest to newest: the ring from its head to the end, then from the start up to the head.
  auto forEachPoint = [&](auto&& fn) {
    for (int64_t i = historyHead_; i < historyCount_; ++i) fn(history_[static_cast<size_t>(i)]);
    for (int64_t i = 0; i < historyHead_; ++i) fn(history_[static_cast<size_t>(i)]);
  };
  double sumX = 0, sumY = 0;
  forEachPoint([&](const Point& p) {
    sumX += p.arrMs;
    sumY += p.smoothed;
  });
  double meanX = sumX / static_cast<double>(historyCount_);
  double meanY = sumY / static_cast<double>(historyCount_);
  double num = 0, den = 0;
  forEachPoint([&](const Point& p) {
    double dx = p.arrMs - meanX;
    num += dx * (p.smoothed - meanY);
    den += dx * dx;
  });
  if (den != 0) trend_ = num / den;
}

void DelayBasedEstimator::detect(double sendDeltaMs, uint64_t nowUs) {
  if (historyCount_ < cfg_.windowSize) {
    state_ = DelaySignal::noData;
    return;
  }
  double modified = cfg_.thresholdGain * trend_ * std::min(numDeltas_, cfg_.minNumDeltas);
  if (modified > thresholdMs_) {
    timeOverUsingMs_ = timeOverUsingMs_ < 0 ? sendDeltaMs / 2 : timeOverUsingMs_ + sendDeltaMs;
    overuseCounter_ += 1;
    if (timeOverUsingMs_ > cfg_.overusingTimeThresholdMs && overuseCounter_ >= 2 && trend_ >= prevTrend_) {
      timeOverUsingMs_ = 0;
      overuseCounter_ = 0;
      state_ = DelaySignal::overuse;
    }
  } else {
    timeOverUsingMs_ = -1;
    overuseCounter_ = 0;
    state_ = modified < -thresholdMs_ ? DelaySignal::underuse : DelaySignal::normal;
  }
  prevTrend_ = trend_;
  adaptThreshold(modified, nowUs);
}

void DelayBasedEstimator::adaptThreshold(double modified, uint64_t nowUs) {
  double a = std::abs(modified);
  if (a <= thresholdMs_ + cfg_.maxAdaptOffsetMs) {
    double k = a < thresholdMs_ ? cfg_.kDown : cfg_.kUp;
    double dtMs = 0;
    if (lastThresholdUpdateUs_) {
      dtMs = static_cast<double>(signedDelta(nowUs, *lastThresholdUpdateUs_)) / 1000;
      dtMs = dtMs > 0 ? std::min(dtMs, cfg_.maxTimeDeltaMs) : 0;
    }
    thresholdMs_ += (a - thresholdMs_) * k * dtMs;
    thresholdMs_ = std::min(std::max(thresholdMs_, cfg_.thresholdMinMs), cfg_.thresholdMaxMs);
  }
  lastThresholdUpdateUs_ = nowUs;
}

void DelayBasedEstimator::reset() {
  clearTrendline();
  thresholdMs_ = cfg_.initialThresholdMs;
  lastThresholdUpdateUs_.reset();
  sawFirstDelta_ = false;
  lastSendUs_.reset();
  lastArrivalUs_.reset();
  refSendUs_.reset();
  refRecvUs_.reset();
}

}  // namespace vela
