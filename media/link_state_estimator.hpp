#pragma once
// Condenses per-frame feedback into smoothed measures of the link (loss, repair, delay pressure,
// assembly time, chunks per frame) and classifies it. Fed from the send path and the feedback path,
// read on every feedback: every operation takes the estimator's own lock around its fields.
#include <cstdint>
#include <mutex>

#include "media/link_state.hpp"

namespace vela {

class LinkStateEstimator {
 public:
  static constexpr double assembleWarnThresholdUs = 5'500;  // slower assembly means bursty delivery
  static constexpr int64_t verdictSamples = 60;             // no verdict before this many feedbacks

  LinkStateEstimator() = default;

  // `nowUs` is accepted for symmetry with the other controllers and not used.
  void onFrameSent(int64_t chunkCount, bool isKeyframe, uint64_t nowUs);
  // `delaySignal` is the feedback's byte: 1 to 3 move the delay pressure, anything else leaves it.
  void onFeedback(bool lost, bool recoveredFec, bool clean, uint32_t assembleDurationUs, uint8_t delaySignal,
                  uint64_t nowUs);
  LinkState state(int64_t appliedBitrate, int64_t floorBps) const;
  void reset();

  // The classification of a snapshot's averages after `samples` feedbacks.
  static LinkRegime regimeOf(int64_t samples, const LinkState& averages);

 private:
  mutable std::mutex mutex_;  // guards everything below
  double rawLoss_ = 0;
  double visLoss_ = 0;
  double delayP_ = 0;
  double assembleUs_ = 0;
  double meanChunks_ = 1.0;
  int64_t samples_ = 0;
};

}  // namespace vela
