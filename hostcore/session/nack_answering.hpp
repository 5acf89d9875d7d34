#pragma once
// Which chunks a NACK gets back: a per-chunk guard against resending what a previous round already
// resent (half the smoothed feedback lag, at least 8 ms), a token bucket for delta-frame chunks that the
// fluidity governor sizes, and a bucket of its own for keyframe chunks. Pure logic over the session's
// retransmission state; the caller holds the session mutex.
#include <cstddef>
#include <cstdint>

#include "hostcore/session/retransmit_state.hpp"

namespace vela {

struct NackAnswering {
  static constexpr uint64_t minGuardUs = 16'000;     // halved: no chunk is resent twice within 8 ms
  static constexpr size_t sentMapPruneAbove = 4'096;  // entries kept before pruning
  static constexpr uint64_t sentMapKeepUs = 1'000'000;  // what survives a prune

  // Tops both buckets up for the time since the last refill (none at the first NACK), then stamps now.
  static void refill(RetransmitState& rtx, uint64_t nowUs);
  // The re-send guard for a feedback lag average (µs, non-negative).
  static uint64_t guardUs(double fbLagEwmaUs);
  // Whether one chunk is resent: not within the guard of its last resend, and paid from its bucket.
  // A chunk refused for want of tokens keeps its new time stamp: the guard runs from the refused try.
  static bool admit(RetransmitState& rtx, uint32_t frameId, uint16_t chunkIdx, bool keyframe, uint64_t nowUs,
                    uint64_t guardUs);
};

}  // namespace vela
