#pragma once
// The data-rate limit that keeps a keyframe from bursting: at most a number of bytes proportional to the
// frame area (within a floor and a ceiling) in any short window. Its tunables are user defaults, read
// afresh each time it is computed.
#include <cstdint>

#include "platform/encoder/encoder_backend.hpp"
#include "platform/runtime/json_store.hpp"

namespace vela {

struct KeyframeBurstCap {
  // Bytes per pixel of one burst.
  static constexpr const char* kBppKey = "tl.kfCapBpp";
  static constexpr double kDefaultBpp = 0.2;
  // Lower and upper bound of the burst, in kilobytes of 1000 bytes.
  static constexpr const char* kFloorKey = "tl.kfCapFloorKB";
  static constexpr double kDefaultFloorKB = 150;
  static constexpr const char* kCeilKey = "tl.kfCapCeilKB";
  static constexpr double kDefaultCeilKB = 1200;
  // The window the limit applies to, in seconds.
  static constexpr const char* kWindowKey = "tl.kfCapWindowSec";
  static constexpr double kDefaultWindowSec = 0.03;

  // A key that is missing or not a number takes its default; `settings` may be null (all defaults).
  static tavlo::DataRateLimit compute(int64_t width, int64_t height, const tavlo::JsonStore* settings);
};

}  // namespace vela
