#pragma once
// Session state: the token budget of NACK answering. The retransmission store itself guards itself and
// lives with the session's components. Guarded by the session mutex.
#include <cstdint>
#include <map>

namespace vela {

struct RetransmitState {
  static constexpr double defaultTokensMax = 15.0;
  static constexpr double defaultRefillPerSec = 300.0;

  double rtxTokens = defaultTokensMax;
  double rtxTokensMax = defaultTokensMax;
  double rtxRefillPerSec = defaultRefillPerSec;
  uint64_t rtxLastRefillUs = 0;
  std::map<uint64_t, uint64_t> rtxSentUs;

  // Keyframe repairs: a bucket of their own, so that a keyframe's chunks are repaired however low the
  // delta-frame budget runs, yet a client cannot make the host resend keyframes without limit. It holds
  // a few keyframes' worth of chunks and refills that much per second.
  static constexpr double keyframeTokensMax = 400.0;
  static constexpr double keyframeRefillPerSec = 400.0;
  double kfRtxTokens = keyframeTokensMax;
};

}  // namespace vela
