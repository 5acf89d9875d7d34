#pragma once
// The wait between failed registrations with the relay service: 1 s, doubling, at most 30 s. A
// registration that worked does not reset it, so a host whose service keeps dropping it after a while
// still backs off.
#include <algorithm>
#include <cstdint>

namespace vela {

class RelayBackoff {
 public:
  static constexpr uint64_t firstSeconds = 1;
  static constexpr uint64_t maxSeconds = 30;

  // The wait after the current failure, in seconds; the following one doubles it.
  uint64_t next() {
    uint64_t wait = delay_;
    delay_ = std::min(delay_ * 2, maxSeconds);
    return wait;
  }
  // Back to the first wait (the registration loop ended normally and starts afresh).
  void reset() { delay_ = firstSeconds; }

 private:
  uint64_t delay_ = firstSeconds;
};

}  // namespace vela
