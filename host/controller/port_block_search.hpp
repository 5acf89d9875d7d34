#pragma once
// The choice of the host's block of five ports: TCP control on the base, UDP video, audio and
// unreliable input on the next three, UDP probes on the fifth. The preferred block is waited for up to
// about 40 s (a host restarted a moment ago may still hold it); after that the first free block in
// steps of five above it is taken, and when none is free the preferred base is returned anyway, so
// that starting the listener fails with the system's own error. A note says what happened.
//
// The search never waits itself: each test says whether the caller is to pause and test again, so
// that the pauses can be timers of the caller's own executor.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tavlo {

class PortBlockSearch {
 public:
  static constexpr uint16_t blockSize = 5;
  // Tests of the preferred block before giving up on it, 200 ms apart: about 40 s in all.
  static constexpr int preferredTests = 200;
  static constexpr uint64_t retryPauseUs = 200'000;
  // Alternative bases, base + 5 up to base + 395.
  static constexpr int alternativeCandidates = 79;

  struct Probe {
    std::function<bool(uint16_t port)> tcpFree;
    std::function<bool(uint16_t port)> udpFree;
  };
  struct Result {
    uint16_t base = 0;
    std::string note;  // empty when there is nothing to report
  };

  // The probe of the real ports (platform/net/port_probe.hpp).
  static Probe systemProbe();

  explicit PortBlockSearch(Probe probe);

  // The test of the preferred block after `pauses` pauses of retryPauseUs: the block to take, or
  // nothing while the caller is to pause once more and test again.
  std::optional<Result> test(uint16_t preferred, int pauses) const;
  // All five ports free, tested in order (TCP first) and stopping at the first busy one.
  bool blockIsFree(uint16_t base) const;

 private:
  std::string busyPorts(uint16_t base) const;
  Result alternativeTo(uint16_t preferred) const;

  Probe probe_;
};

}  // namespace tavlo
