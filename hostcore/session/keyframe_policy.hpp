#pragma once
// The keyframe interval: the owner's policy (adaptive, or a fixed interval), and the interval the
// encoder gets, shortened under loss relief (a keyframe repairs every loss) and floored on a WAN link
// (a keyframe there must not take more than an eighth of the interval to cross the link).
#include <cstdint>

namespace vela {

struct AdaptationState;
struct KeyframeState;

struct KeyframeLimits {
  static constexpr double reliefIntervalSec = 0.33;  // the longest interval under loss relief
  static constexpr double wanFloorMinSec = 0.5;
  static constexpr double wanFloorMaxSec = 4.0;
  static constexpr double wanFloorFactor = 8.0;      // interval over the time one keyframe takes
  static constexpr int64_t minKeyframeBytes = 8000;  // a smaller last keyframe counts as this
};

// The interval in force: the adaptive controller's when the policy is adaptive, else the fixed one.
double keyframeIntervalInForce(const KeyframeState& keyframes);

// The interval to push into the encoder (seconds, not yet clamped to the encoder's 0.1…10).
double encoderKeyframeIntervalSec(const KeyframeState& keyframes, const AdaptationState& adaptation);

// Sets the policy: the fixed interval clamped to 0.1…10 s and, when adaptive, the controller's ceiling
// to that clamped to 0.5…10 s (its interval comes down to the ceiling). The caller bumps kfEpoch.
void setKeyframePolicyFields(KeyframeState& keyframes, bool adaptive, double fixedSec);

}  // namespace vela
