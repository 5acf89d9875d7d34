#include "hostcore/session/keyframe_policy.hpp"

#include <algorithm>

#include "hostcore/session/adaptation_state.hpp"
#include "hostcore/session/keyframe_state.hpp"
#include "hostcore/session/session_clamps.hpp"

namespace vela {

double keyframeIntervalInForce(const KeyframeState& keyframes) {
  return keyframes.kfAdaptive ? keyframes.kfController.intervalSec() : keyframes.kfFixedSec;
}

double encoderKeyframeIntervalSec(const KeyframeState& keyframes, const AdaptationState& adaptation) {
  double interval = keyframeIntervalInForce(keyframes);
  if (adaptation.lossReliefActive && interval > KeyframeLimits::reliefIntervalSec)
    interval = KeyframeLimits::reliefIntervalSec;
  if (adaptation.wanLink && adaptation.recvRateEwma > 0) {
    double bytes = static_cast<double>(std::max(keyframes.lastIdrBytes, KeyframeLimits::minKeyframeBytes));
    double floor = std::clamp(bytes * 8 / adaptation.recvRateEwma * KeyframeLimits::wanFloorFactor,
                              KeyframeLimits::wanFloorMinSec, KeyframeLimits::wanFloorMaxSec);
    interval = std::max(interval, floor);
  }
  return interval;
}

void setKeyframePolicyFields(KeyframeState& keyframes, bool adaptive, double fixedSec) {
  keyframes.kfAdaptive = adaptive;
  keyframes.kfFixedSec = clampedKeyframeSec(fixedSec);
  if (adaptive) keyframes.kfController.setGrowCeil(clampedAdaptiveCeilSec(keyframes.kfFixedSec));
}

}  // namespace vela
