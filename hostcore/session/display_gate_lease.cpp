#include "hostcore/session/display_gate_lease.hpp"

namespace vela {

std::optional<DisplayGateLease> DisplayGateLease::acquire(DisplayGate& gate, const std::string& who,
                                                          bool allowWhenDisconnected, const Waiting& waiting) {
  auto refusedAsDisconnected = [&] {
    if (allowWhenDisconnected || !waiting.disconnected()) return false;
    waiting.log("⚠️ " + who + ": sesja rozłączona — pomijam operację ekranową");
    return true;
  };
  if (refusedAsDisconnected()) return std::nullopt;
  if (gate.tryTake()) return DisplayGateLease(gate);
  // Polling, not a queue: waiters are not served in order of arrival, and a disconnect ends a wait
  // at the next step.
  for (int attempt = 1;; ++attempt) {
    waiting.clock.sleepFor(pollUs);
    if (refusedAsDisconnected()) return std::nullopt;
    if (gate.tryTake()) return DisplayGateLease(gate);
    if (attempt >= maxAttempts) {
      waiting.log("⚠️ " + who + ": timeout bramy ekranu (15s) — pomijam");
      return std::nullopt;
    }
  }
}

}  // namespace vela
