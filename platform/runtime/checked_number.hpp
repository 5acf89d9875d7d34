#pragma once
// The one place where doubles (settings, wire floats, computed ratios) become integers, and where
// 64-bit products saturate instead of overflowing. A NaN, an infinity or an out-of-range value never
// reaches a cast: converting one is undefined behaviour in C++.
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>

namespace tavlo {

// Truncates toward zero, like a checked integer conversion; nullopt when the result does not fit.
template <std::integral To>
constexpr std::optional<To> truncateChecked(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  double truncated = std::trunc(value);
  // The bounds are exact powers of two, representable as doubles: min is -2^k (or 0), max+1 is 2^k.
  constexpr double lower = static_cast<double>(std::numeric_limits<To>::min());
  constexpr double upperExclusive = static_cast<double>(std::numeric_limits<To>::max() / 2 + 1) * 2.0;
  if (truncated < lower || truncated >= upperExclusive) return std::nullopt;
  return static_cast<To>(truncated);
}

// Truncates toward zero, clamping to the type's range; NaN gives `nanValue`.
template <std::integral To>
constexpr To truncateSaturating(double value, To nanValue = 0) {
  if (std::isnan(value)) return nanValue;
  if (auto exact = truncateChecked<To>(value)) return *exact;
  return value < 0 ? std::numeric_limits<To>::min() : std::numeric_limits<To>::max();
}

// Rounds halves away from zero (std::round), then converts like truncateChecked.
template <std::integral To>
std::optional<To> roundChecked(double value) {
  return truncateChecked<To>(std::round(value));
}

constexpr int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t result;
  if (__builtin_add_overflow(a, b, &result)) return b > 0 ? INT64_MAX : INT64_MIN;
  return result;
}

constexpr int64_t saturatingMul(int64_t a, int64_t b) {
  int64_t result;
  if (__builtin_mul_overflow(a, b, &result)) return ((a < 0) != (b < 0)) ? INT64_MIN : INT64_MAX;
  return result;
}

}  // namespace tavlo
