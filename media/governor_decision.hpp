#pragma once
// What the fluidity governor asks of the encoder, the parity and the retransmission budget.
#include <cstdint>
#include <limits>

namespace vela {

struct GovernorDecision {
  static constexpr int64_t noCap = std::numeric_limits<int64_t>::max();

  bool engaged = false;
  int64_t phase = 0;                // 0 idle, 1 drain, 2 probe
  int64_t capBps = noCap;           // bitrate cap; noCap when idle
  int64_t maxFrameQP = 44;          // quantiser limit, 44 to 48
  int64_t dataRateShortBytes = 0;   // bytes allowed in two frame intervals (at least 20 ms); 0 when idle
  int64_t dataRateLongBytes = 0;    // bytes allowed per second; 0 when idle
  bool suppressPFec = false;        // no proactive parity while the cap is below 1 Mbit/s
  double rtxRefillPerSec = 300.0;   // retransmission tokens per second
  double rtxTokensMax = 15.0;       // retransmission token bucket size
  double pressure = 0;              // 0 at the floor, 1 at the lowest drain cap

  friend bool operator==(const GovernorDecision&, const GovernorDecision&) = default;
};

}  // namespace vela
