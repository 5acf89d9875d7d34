#pragma once
// A hold on the process-wide display gate. Whoever obtains one may call the display provider's
// create, re-mode, re-create and main-display operations; the gate is released when the lease goes, on
// every path, so no return can leave it taken.
//
// acquire() polls every 100 ms, giving up after 15 s or as soon as `disconnected` answers true (unless
// the caller works on a disconnected session on purpose, as teardown does). Its waits are sleeps on the
// given clock, so a FakeClock drives them in tests.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "hostcore/session/display_gate.hpp"
#include "platform/runtime/clock.hpp"

namespace vela {

class DisplayGateLease {
 public:
  static constexpr uint64_t pollUs = 100'000;
  static constexpr int maxAttempts = 150;  // 15 s of polling

  struct Waiting {
    const tavlo::Clock& clock;
    std::function<bool()> disconnected;          // read under the session mutex by the caller's closure
    std::function<void(const std::string&)> log;  // called with no lock held
  };

  // The lease, or nothing (after the gate's own log line) when the gate was not obtained.
  static std::optional<DisplayGateLease> acquire(DisplayGate& gate, const std::string& who, bool allowWhenDisconnected,
                                                 const Waiting& waiting);

  DisplayGateLease(DisplayGateLease&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
  DisplayGateLease& operator=(DisplayGateLease&&) = delete;
  DisplayGateLease(const DisplayGateLease&) = delete;
  ~DisplayGateLease() { release(); }

  // Frees the gate now; the lease then holds nothing. Idempotent.
  void release() {
    if (gate_) gate_->release();
    gate_ = nullptr;
  }

 private:
  explicit DisplayGateLease(DisplayGate& gate) : gate_(&gate) {}
  DisplayGate* gate_;
};

}  // namespace vela
