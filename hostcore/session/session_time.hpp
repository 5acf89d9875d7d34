#pragma once
// Time stamps of the session are µs of the session clock, and 0 means "never". These helpers test that
// sentinel before any `now − t`: a clock that starts near 0 (a fresh boot, a test) would otherwise see
// events that never happened as recent.
#include <cstdint>
#include <optional>

namespace vela {

// Time since `stampUs`, or nothing when it is 0 (never). A stamp in the future reads as 0 µs ago.
constexpr std::optional<uint64_t> ageUs(uint64_t nowUs, uint64_t stampUs) {
  if (stampUs == 0) return std::nullopt;
  return nowUs > stampUs ? nowUs - stampUs : 0;
}

// Whether `stampUs` lies less than `windowUs` before now; never for a stamp of 0.
constexpr bool isWithin(uint64_t nowUs, uint64_t stampUs, uint64_t windowUs) {
  auto age = ageUs(nowUs, stampUs);
  return age && *age < windowUs;
}

// Whether now is before the deadline `untilUs` (stretched by `graceUs`); a deadline of 0 was never set
// and has always passed, grace or not.
constexpr bool isBefore(uint64_t nowUs, uint64_t untilUs, uint64_t graceUs = 0) {
  return untilUs != 0 && nowUs < untilUs + graceUs;
}

}  // namespace vela
