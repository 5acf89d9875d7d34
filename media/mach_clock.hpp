#pragma once
// The one clock of the system: every time stamp and interval exchanged between the engines, the session
// and the media controllers is a UInt64 count of microseconds from it.
//
// The monotonic tick counter here is CLOCK_MONOTONIC in nanoseconds, so the timebase is 1/1; the
// conversion keeps the general tick × numer ÷ denom arithmetic (wrapping multiply, truncating divides)
// so that other timebases convert exactly as they do on hardware with a coarser counter.
// Header-only: the protocol records stamp times with it too.
#include <time.h>

#include <cstdint>

namespace vela {

struct MachTimebase {
  uint32_t numer = 1;
  uint32_t denom = 1;
};

class MachClock {
 public:
  static uint64_t nowUs() { return ticksToUs(ticks(), timebase()); }
  static uint64_t nowNs() { return ticksToNs(ticks(), timebase()); }

  static constexpr uint64_t ticksToNs(uint64_t ticks, MachTimebase base) { return ticks * base.numer / base.denom; }
  static constexpr uint64_t ticksToUs(uint64_t ticks, MachTimebase base) {
    return ticks * base.numer / base.denom / 1000;
  }

 private:
  static constexpr MachTimebase timebase() { return {}; }
  static uint64_t ticks() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
  }
};

}  // namespace vela
