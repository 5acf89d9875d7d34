#pragma once
// Session state: the keyframe policy and interval, long-term references and keyframe requests.
// Guarded by the session mutex (the interval controller has no lock of its own).
#include <cstdint>
#include <map>
#include <vector>

#include "media/keyframe_interval_controller.hpp"

namespace vela {

struct KeyframeState {
  static constexpr double startIntervalSec = 2.75;  // the adaptive controller's first interval

  // Policy: the owner's choice, changed by setKeyframePolicy.
  bool kfAdaptive = false;
  double kfFixedSec = 0;  // 0.1…10 s
  KeyframeIntervalController kfController{startIntervalSec};
  int64_t kfEpoch = 0;  // +1 whenever the interval in force may have changed

  // One-shot requests for the send path.
  bool forceKeyframeNext = false;
  bool ltrPendingRefresh = false;
  bool ltrHaveAcked = false;
  bool firstIdrFreePending = false;
  bool bootstrapIdrDupPending = false;
  bool rescueIdrDupPending = false;
  bool bootstrapMinQPPending = false;
  bool bootstrapMinQPActive = false;

  // Long-term references.
  std::vector<int64_t> ltrAckedVTTokens;  // encoder tokens the client acknowledged
  std::map<uint8_t, int64_t> ltrWireToVT;  // wire token → encoder token
  uint8_t ltrNextWire = 0;

  // Keyframes sent and requested.
  int64_t lastIdrBytes = 0;
  uint32_t lastIdrFrameId = 0;
  uint64_t lastIdrWallUs = 0;    // 0 = none yet
  uint64_t lastIdrForcedUs = 0;  // 0 = none yet
  int64_t idrReqWindow = 0;
  int64_t idrForcedWindow = 0;
  int64_t idrSkipped = 0;
  int64_t gopForcedWindow = 0;
};

}  // namespace vela
