#include "hostcore/session/nack_answering.hpp"

#include <algorithm>
#include <cmath>

#include "platform/runtime/checked_number.hpp"

namespace vela {

void NackAnswering::refill(RetransmitState& rtx, uint64_t nowUs) {
  if (rtx.rtxLastRefillUs != 0 && nowUs > rtx.rtxLastRefillUs) {
    double seconds = static_cast<double>(nowUs - rtx.rtxLastRefillUs) / 1'000'000.0;
    rtx.rtxTokens = std::min(rtx.rtxTokensMax, rtx.rtxTokens + rtx.rtxRefillPerSec * seconds);
    rtx.kfRtxTokens = std::min(RetransmitState::keyframeTokensMax,
                               rtx.kfRtxTokens + RetransmitState::keyframeRefillPerSec * seconds);
  }
  rtx.rtxLastRefillUs = nowUs;
}

uint64_t NackAnswering::guardUs(double fbLagEwmaUs) {
  uint64_t lag = tavlo::truncateSaturating<uint64_t>(fbLagEwmaUs);
  return std::max(lag, minGuardUs) / 2;
}

bool NackAnswering::admit(RetransmitState& rtx, uint32_t frameId, uint16_t chunkIdx, bool keyframe, uint64_t nowUs,
                          uint64_t guardUs) {
  uint64_t key = (uint64_t{frameId} << 16) | chunkIdx;
  auto it = rtx.rtxSentUs.find(key);
  if (it != rtx.rtxSentUs.end() && nowUs >= it->second && nowUs - it->second < guardUs) return false;
  if (it != rtx.rtxSentUs.end()) {
    it->second = nowUs;
  } else {
    rtx.rtxSentUs.emplace(key, nowUs);
    if (rtx.rtxSentUs.size() > sentMapPruneAbove) {
      std::erase_if(rtx.rtxSentUs, [nowUs](const auto& entry) {
        return nowUs >= entry.second && nowUs - entry.second >= sentMapKeepUs;
      });
    }
  }
  double& bucket = keyframe ? rtx.kfRtxTokens : rtx.rtxTokens;
  if (bucket < 1.0) return false;
  bucket -= 1.0;
  return true;
}

}  // namespace vela
