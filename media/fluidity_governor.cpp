#include "media/fluidity_governor.hpp"

#include <algorithm>
#include <cmath>

#include "media/rate_math.hpp"

namespace vela {

GovernorDecision FluidityGovernor::update(const LinkState& link, int64_t recvRateBps, int64_t appliedBitrate,
                                          int64_t floorBps, int64_t fps, uint64_t nowUs) {
  std::lock_guard lock(mutex_);
  uint64_t dt = lastUpdateUs_ == 0 ? firstUpdateDtUs : std::min(nowUs - lastUpdateUs_, maxDtUs);
  lastUpdateUs_ = nowUs;

  // A receive rate of 0 means the client measured nothing: any positive offer counts as too much.
  bool overOffered = recvRateBps > 0
                         ? static_cast<double>(appliedBitrate) / 2 > static_cast<double>(recvRateBps)
                         : appliedBitrate > 0;
  bool clogged = link.exhausted && recvRateBps < clogRxAbsBps && overOffered &&
                 link.visibleLossEwma > std::max(baselineLoss_ + 0.08, 0.12);
  int64_t drainCap = std::clamp(rate::scaled(recvRateBps, 0.7), drainCapMinBps, drainCapMaxBps);

  if (phase_ != idle) {
    uint64_t age = nowUs - engagedSinceUs_;
    if (age >= maxEngagedUs || (age >= forceProbeUs && recvRateBps >= clogRxAbsBps)) {
      phase_ = idle;
      engageAccumUs_ = releaseAccumUs_ = 0;
    }
  }

  switch (phase_) {
    case idle:
      capBps_ = GovernorDecision::noCap;
      if (clogged) {
        engageAccumUs_ += dt;
      } else {
        // Clean time drains the accumulator twice as fast; the baseline learns only while not clogged.
        engageAccumUs_ = engageAccumUs_ > 2 * dt ? engageAccumUs_ - 2 * dt : 0;
        baselineLoss_ = 0.99 * baselineLoss_ + 0.01 * link.visibleLossEwma;
      }
      if (engageAccumUs_ >= engageDwellUs) engageDrain(drainCap, nowUs);
      break;
    case drain:
      if (nowUs - engagedSinceUs_ < forceProbeUs) {
        capBps_ = drainCap;  // follows the receive rate
        if (nowUs - phaseEnteredUs_ >= drainHoldUs) {
          phase_ = probe;
          phaseEnteredUs_ = nowUs;
          releaseAccumUs_ = 0;
        }
      } else {
        phase_ = probe;
        releaseAccumUs_ = 0;
        phaseEnteredUs_ = nowUs;
        probeStepUpdate(link, recvRateBps, floorBps, drainCap, dt, nowUs);
      }
      break;
    case probe:
      probeStepUpdate(link, recvRateBps, floorBps, drainCap, dt, nowUs);
      break;
  }
  return phase_ == idle ? GovernorDecision{} : engagedDecision(phase_, capBps_, floorBps, fps);
}

void FluidityGovernor::engageDrain(int64_t drainCap, uint64_t nowUs) {
  phase_ = drain;
  capBps_ = drainCap;
  phaseEnteredUs_ = engagedSinceUs_ = nowUs;
  engageAccumUs_ = releaseAccumUs_ = 0;
}

void FluidityGovernor::probeStepUpdate(const LinkState& link, int64_t recvRateBps, int64_t floorBps,
                                       int64_t drainCap, uint64_t dt, uint64_t nowUs) {
  bool bad = (link.visibleLossEwma > std::max(baselineLoss_ + 0.08, 0.15) || link.delayPressure > 0.8) &&
             recvRateBps < clogRxAbsBps;
  if (bad) {
    phase_ = drain;
    capBps_ = drainCap;
    phaseEnteredUs_ = nowUs;
    releaseAccumUs_ = 0;
    return;
  }
  // 25 % per second, continuous in the time step.
  double grown = static_cast<double>(capBps_) * std::pow(probeStep, static_cast<double>(dt) / 1'000'000);
  capBps_ = std::min(floorBps, tavlo::truncateSaturating<int64_t>(grown));
  if (capBps_ < floorBps) {
    releaseAccumUs_ = 0;
    return;
  }
  // At the floor: the release needs uninterrupted good time.
  if (link.visibleLossEwma < std::max(0.5 * baselineLoss_ + 0.03, 0.05)) {
    releaseAccumUs_ += dt;
    if (releaseAccumUs_ >= releaseDwellUs) {
      phase_ = idle;
      capBps_ = GovernorDecision::noCap;
      releaseAccumUs_ = 0;
    }
  } else {
    releaseAccumUs_ = 0;
  }
}

GovernorDecision FluidityGovernor::engagedDecision(int64_t phase, int64_t capBps, int64_t floorBps, int64_t fps) {
  GovernorDecision d;
  d.engaged = true;
  d.phase = phase;
  d.capBps = capBps;
  double span = static_cast<double>(std::max(rate::minus(floorBps, drainCapMinBps), int64_t{1}));
  d.pressure = std::clamp(static_cast<double>(rate::minus(floorBps, capBps)) / span, 0.0, 1.0);
  d.maxFrameQP = baseMaxQP + tavlo::roundChecked<int64_t>(4 * d.pressure).value_or(0);
  double bytesPerSec = static_cast<double>(capBps == GovernorDecision::noCap ? floorBps : capBps) / 8;
  double window = std::max(2.0 / static_cast<double>(std::max(fps, int64_t{1})), 0.02);
  // Left to right as written: at 24 fps and 400,000 bit/s this is 6,249, not 6,250.
  d.dataRateShortBytes =
      std::max(tavlo::truncateSaturating<int64_t>(window * bytesPerSec * 1.5), largestChunkBytes);
  d.dataRateLongBytes = std::max(tavlo::truncateSaturating<int64_t>(bytesPerSec), largestChunkBytes);
  d.suppressPFec = capBps < 1'000'000;
  d.rtxRefillPerSec = d.suppressPFec ? 40.0 : 300.0;
  d.rtxTokensMax = d.suppressPFec ? 4.0 : 15.0;
  return d;
}

void FluidityGovernor::reset() {
  std::lock_guard lock(mutex_);
  phase_ = idle;
  engageAccumUs_ = releaseAccumUs_ = 0;
  capBps_ = GovernorDecision::noCap;
  baselineLoss_ = initialBaselineLoss;
}

int64_t FluidityGovernor::phaseValue() const {
  std::lock_guard lock(mutex_);
  return phase_;
}

}  // namespace vela
