#include "hostcore/session/idr_request_limiter.hpp"

#include <algorithm>
#include <cmath>

#include "hostcore/session/adaptation_state.hpp"
#include "hostcore/session/keyframe_state.hpp"
#include "hostcore/session/session_time.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

uint64_t idrMinGapUs(int64_t lastIdrBytes, double recvRateEwma, bool cloggedNow, bool lossReliefActive) {
  using L = IdrRequestLimits;
  double bytes = static_cast<double>(std::max(lastIdrBytes, L::minKeyframeBytes));
  double rate = std::isnan(recvRateEwma) ? L::minRateBps : std::max(recvRateEwma, L::minRateBps);
  auto toUs = [](double us) { return tavlo::truncateSaturating<uint64_t>(us); };
  uint64_t g1;
  if (cloggedNow) {
    g1 = std::clamp(toUs(2 * bytes * 8 / rate * 1'000'000), L::cloggedMinGapUs, L::maxGapUs);
  } else {
    g1 = lossReliefActive ? L::reliefGapUs : L::normalGapUs;
  }
  uint64_t g2 = std::min(toUs(bytes * 8 / rate * 1.5 * 1'000'000), L::maxGapUs);
  return std::max(g1, g2);
}

IdrVerdict judgeIdrRequest(KeyframeState& keyframes, const AdaptationState& adaptation, uint64_t nowUs,
                           bool permitsRefresh) {
  keyframes.idrReqWindow += 1;
  uint64_t gap = idrMinGapUs(keyframes.lastIdrBytes, adaptation.recvRateEwma, adaptation.cloggedNow,
                             adaptation.lossReliefActive);
  auto sinceLast = ageUs(nowUs, keyframes.lastIdrForcedUs);
  if (!keyframes.firstIdrFreePending && sinceLast && *sinceLast < gap) {
    keyframes.idrSkipped += 1;
    return IdrVerdict::skipped;
  }
  keyframes.firstIdrFreePending = false;
  keyframes.lastIdrForcedUs = nowUs;
  keyframes.idrForcedWindow += 1;
  if (keyframes.ltrHaveAcked && permitsRefresh) {
    keyframes.ltrPendingRefresh = true;
    return IdrVerdict::ltrRefresh;
  }
  keyframes.forceKeyframeNext = true;
  keyframes.rescueIdrDupPending = true;
  return IdrVerdict::forceKeyframe;
}

}  // namespace vela
