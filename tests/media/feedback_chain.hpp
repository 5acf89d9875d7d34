#pragma once
// The host controllers wired as the session runs them on each frame feedback, without the session's
// own policies (relief, anchoring, floor demotion, radio tolerance): the bitrate controller's loss and
// delay loops, the link-state estimator and its snapshot, the fluidity governor, and once per window
// of 60 feedbacks the keyframe-interval controller. Shared by the scenario replay and the benchmark.
#include <algorithm>
#include <cstdint>
#include <optional>

#include "media/bitrate_controller.hpp"
#include "media/fluidity_governor.hpp"
#include "media/keyframe_interval_controller.hpp"
#include "media/link_state_estimator.hpp"
#include "protocol/media_messages.hpp"

namespace vela {

struct FeedbackChain {
  static constexpr int64_t windowFeedbacks = 60;
  static constexpr int64_t ampleBps = 5'000'000;  // the session's default ample level
  static constexpr double startKeyframeSec = 2.75;

  struct Step {
    LinkState link;
    GovernorDecision decision;
    std::optional<double> keyframeSec;  // a new interval at the end of a window
  };

  FeedbackChain(int64_t width, int64_t height, int64_t fps, int64_t start, int64_t floor,
                std::optional<int64_t> userCapBps)
      : fps(fps), bitrate(width, height, fps, start, floor, userCapBps, BitrateController::Tunables{}) {}

  Step onFeedback(const FrameFeedback& fb, uint64_t nowUs) {
    using Status = FrameFeedback::Status;
    bool lost = fb.status == Status::lost;
    int64_t frameIntervalUs = 1'000'000 / std::max(fps, int64_t{1});
    bitrate.onFeedback({lost, 0, fb.assembleDurationUs, static_cast<uint32_t>(frameIntervalUs)});
    DelaySignal signal = delaySignalFromByte(fb.delaySignal);
    int64_t recvRateBps = int64_t{fb.recvRateKbps} * 1000;
    bitrate.onDelaySignal(signal, recvRateBps, nowUs);

    feedbackCount += 1;
    if (lost || fb.nackRounds >= 2) lostInWindow += 1;

    Step step;
    link.onFeedback(lost, fb.status == Status::recoveredViaFec, fb.status == Status::clean, fb.assembleDurationUs,
                    static_cast<uint8_t>(signal), nowUs);
    int64_t applied = bitrate.appliedBitrate();
    int64_t floor = bitrate.floorBps();
    step.link = link.state(applied, floor);
    step.decision = governor.update(step.link, recvRateBps, applied, floor, fps, nowUs);
    if (feedbackCount % windowFeedbacks == 0) {
      step.keyframeSec = keyframe.onWindow(lostInWindow, applied >= ampleBps);
      lostInWindow = 0;
    }
    return step;
  }

  int64_t fps;
  BitrateController bitrate;
  LinkStateEstimator link;
  FluidityGovernor governor;
  KeyframeIntervalController keyframe{startKeyframeSec};
  int64_t feedbackCount = 0;
  int64_t lostInWindow = 0;
};

}  // namespace vela
