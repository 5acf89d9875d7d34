// The keyframe policy and the push of the interval in force into the encoder.
#include <cstdio>

#include "hostcore/engines/encoder_engine.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/keyframe_policy.hpp"
#include "hostcore/session/session_clamps.hpp"

namespace vela {

void HostSession::setKeyframePolicy(bool adaptive, double fixedSec) {
  double inForce;
  {
    Locked locked(*this);
    setKeyframePolicyFields(locked->keyframes, adaptive, fixedSec);
    locked->keyframes.kfEpoch += 1;
    inForce = keyframeIntervalInForce(locked->keyframes);
  }
  applyKeyframeToEncoder();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", inForce);
  log(std::string("🔑 keyframe: ") + (adaptive ? "adaptacyjny (AIMD)" : "stały") + " → " + seconds + "s");
}

void HostSession::applyKeyframeToEncoder() {
  for (;;) {
    double interval;
    std::shared_ptr<EncoderEngine> encoder;
    int64_t epoch;
    {
      Locked locked(*this);
      interval = encoderKeyframeIntervalSec(locked->keyframes, locked->adaptation);
      encoder = locked->engines.encoder;
      epoch = locked->keyframes.kfEpoch;
    }
    // The encoder takes its own lock; the session's is never held with it. A policy change that lands
    // while the interval is on its way moves the epoch, and the loop pushes again.
    if (encoder) encoder->setKeyframeInterval(clampedKeyframeSec(interval));
    Locked locked(*this);
    if (locked->keyframes.kfEpoch == epoch) return;
  }
}

}  // namespace vela
