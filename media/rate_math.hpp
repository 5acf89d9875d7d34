#pragma once
// Integer arithmetic shared by the rate controllers. Rates are int64_t bits per second; a scaled rate
// is the product of the rate as a double and a factor, truncated toward zero, and saturates instead of
// overflowing (a NaN never occurs: factors are finite constants and rates are integers).
#include <cstdint>

#include "platform/runtime/checked_number.hpp"

namespace vela::rate {

inline int64_t scaled(int64_t bps, double factor) {
  return tavlo::truncateSaturating<int64_t>(static_cast<double>(bps) * factor);
}

inline int64_t plus(int64_t bps, int64_t step) { return tavlo::saturatingAdd(bps, step); }

inline int64_t minus(int64_t a, int64_t b) {
  int64_t result;
  if (__builtin_sub_overflow(a, b, &result)) return b < 0 ? INT64_MAX : INT64_MIN;
  return result;
}

}  // namespace vela::rate
