#pragma once
// Loss relief and its chronic window. Relief (cheap recovery frames: a coarse quantiser ceiling, short
// keyframe interval, duplicated small frames) is armed by a critical link or a lost probe frame and holds
// 6 s. Re-arming within a minute of the previous arming means the link flaps: the chronic window opens
// for 120 s (pushed on while relief stays on), relief then holds 30 s per arming, and the session lowers
// its bitrate floor and raises its quantiser floor meanwhile. A quiet relief on a healthy receive rate
// ends the window early. While losses count as radio noise, an arming only extends relief by 2 s.
// Pure logic over the session's adaptation state; the caller holds the session mutex.
#include <cstdint>

#include "hostcore/session/adaptation_state.hpp"

namespace vela {

struct LossReliefStep {
  bool active = false;
  bool changed = false;            // relief turned on or off
  bool newlyChronic = false;       // the chronic window opened
  bool chronicEndedEarly = false;  // a quiet relief on a healthy link ended it
};

LossReliefStep stepLossRelief(AdaptationState& a, uint64_t nowUs, bool arm);

}  // namespace vela
