#include "media/link_state_estimator.hpp"

#include <algorithm>


namespace vela {
namespace {

constexpr double lossWeight = 0.05;
constexpr double assembleWeight = 0.1;
constexpr double chunksWeight = 0.1;
constexpr double delayDecay = 0.9;  // each verdict keeps 90 % of the pressure before adding its step

// weight × sample + (1 − weight) × old, evaluated in this order.
double ewma(double old, double sample, double weight) { return sample * weight + old * (1.0 - weight); }

}  // namespace

LinkRegime LinkStateEstimator::regimeOf(int64_t samples, const LinkState& s) {
  if (samples < verdictSamples) return LinkRegime::clean;
  if (s.visibleLossEwma > 0.15 || s.rawLossEwma > 0.25) return LinkRegime::critical;
  if (s.rawLossEwma < 0.02 && s.delayPressure < 0.2 && s.assembleEwmaUs < assembleWarnThresholdUs)
    return LinkRegime::clean;
  if (s.assembleEwmaUs >= assembleWarnThresholdUs && s.delayPressure < 0.3) return LinkRegime::burstLimited;
  if (s.rawLossEwma > 0.05 || s.delayPressure > 0.3) return LinkRegime::throughputLimited;
  return LinkRegime::clean;
}

void LinkStateEstimator::onFrameSent(int64_t chunkCount, bool isKeyframe, uint64_t) {
  if (isKeyframe) return;  // a keyframe's size would distort the mean
  std::lock_guard lock(mutex_);
  meanChunks_ = ewma(meanChunks_, static_cast<double>(std::max(chunkCount, int64_t{1})), chunksWeight);
}

void LinkStateEstimator::onFeedback(bool lost, bool recoveredFec, bool clean, uint32_t assembleDurationUs,
                                    uint8_t delaySignal, uint64_t) {
  std::lock_guard lock(mutex_);
  samples_ += 1;
  rawLoss_ = ewma(rawLoss_, (lost || recoveredFec) ? 1.0 : 0.0, lossWeight);
  visLoss_ = ewma(visLoss_, lost ? 1.0 : 0.0, lossWeight);
  if (delaySignal >= 1 && delaySignal <= 3) {
    double step = delaySignal == 2 ? 0.1 : delaySignal == 3 ? -0.05 : 0.0;
    delayP_ = std::max(std::min(step + delayDecay * delayP_, 1.0), 0.0);
  }
  if (clean) assembleUs_ = ewma(assembleUs_, static_cast<double>(assembleDurationUs), assembleWeight);
}

LinkState LinkStateEstimator::state(int64_t appliedBitrate, int64_t floorBps) const {
  LinkState s;
  int64_t samples;
  {
    std::lock_guard lock(mutex_);
    s.rawLossEwma = rawLoss_;
    s.visibleLossEwma = visLoss_;
    s.delayPressure = delayP_;
    s.assembleEwmaUs = assembleUs_;
    s.meanFrameChunks = meanChunks_;
    samples = samples_;
  }
  s.regime = regimeOf(samples, s);
  // floor × 11 ÷ 10 in 128 bits: exact for every 64-bit floor.
  s.exhausted = static_cast<__int128>(floorBps) * 11 / 10 >= appliedBitrate;
  return s;
}

void LinkStateEstimator::reset() {
  std::lock_guard lock(mutex_);
  rawLoss_ = visLoss_ = delayP_ = assembleUs_ = 0;
  meanChunks_ = 1.0;
  samples_ = 0;
}

}  // namespace vela
