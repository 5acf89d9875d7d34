#pragma once
// Keeps the picture moving when the link is clogged: frames are lost while the bitrate already sits
// near its floor and the client receives far less than is sent, so ordinary bitrate control has run
// out of room. The governor then caps the rate well below the floor (drain), lets the queue empty and
// probes back up to the floor, tightening the quantiser, the encoder's data-rate limits, proactive
// parity and the retransmission budget while it is engaged.
//
// A three-phase state machine fed once per frame feedback. The session updates it from its feedback
// path and may reset it or read the phase from other tasks, so it owns a lock.
#include <cstdint>
#include <mutex>

#include "media/governor_decision.hpp"
#include "media/link_state.hpp"

namespace vela {

class FluidityGovernor {
 public:
  enum Phase : int64_t { idle = 0, drain = 1, probe = 2 };

  static constexpr int64_t clogRxAbsKbps = 800;           // receive rate below which the link counts as clogged
  static constexpr int64_t clogRxAbsBps = clogRxAbsKbps * 1000;
  static constexpr uint64_t engageDwellUs = 1'200'000;    // clogged time needed to engage
  static constexpr uint64_t releaseDwellUs = 3'000'000;   // good time at the floor needed to release
  static constexpr uint64_t drainHoldUs = 1'500'000;      // time in drain before probing
  static constexpr uint64_t forceProbeUs = 25'000'000;    // engaged time after which drain gives way to probe
                                                          // and a healthy receive rate releases
  static constexpr uint64_t maxEngagedUs = 120'000'000;   // engaged time after which the governor always releases
  static constexpr uint64_t firstUpdateDtUs = 16'000;     // assumed time step of the first update
  static constexpr uint64_t maxDtUs = 500'000;            // a longer gap between updates counts as this
  static constexpr int64_t drainCapMinBps = 150'000;
  static constexpr int64_t drainCapMaxBps = 500'000;
  static constexpr int64_t baseMaxQP = 44;                // quantiser limit at no pressure
  static constexpr int64_t clogMaxQP = 48;                // quantiser limit at full pressure
  static constexpr double probeStep = 1.25;               // growth of the cap per second of probing
  static constexpr double initialBaselineLoss = 0.02;
  static constexpr int64_t largestChunkBytes = 1310;      // byte budgets never go below one video chunk

  FluidityGovernor() = default;

  GovernorDecision update(const LinkState& link, int64_t recvRateBps, int64_t appliedBitrate, int64_t floorBps,
                          int64_t fps, uint64_t nowUs);
  void reset();
  int64_t phaseValue() const;

  // The decision of an engaged governor in `phase` with cap `capBps`.
  static GovernorDecision engagedDecision(int64_t phase, int64_t capBps, int64_t floorBps, int64_t fps);

 private:
  void engageDrain(int64_t drainCap, uint64_t nowUs);
  void probeStepUpdate(const LinkState& link, int64_t recvRateBps, int64_t floorBps, int64_t drainCap,
                       uint64_t dt, uint64_t nowUs);

  mutable std::mutex mutex_;  // guards everything below
  int64_t phase_ = idle;
  uint64_t engageAccumUs_ = 0;   // clogged time accumulated while idle
  uint64_t releaseAccumUs_ = 0;  // good time at the floor accumulated while probing
  uint64_t phaseEnteredUs_ = 0;
  uint64_t engagedSinceUs_ = 0;
  uint64_t lastUpdateUs_ = 0;    // 0 = no update yet
  int64_t capBps_ = GovernorDecision::noCap;
  double baselineLoss_ = initialBaselineLoss;  // slow average of the visible loss while idle
};

}  // namespace vela
