#pragma once
// How a picture's samples map to colours, as the code points of ITU-T H.273 that HEVC's VUI carries
// (1 = ITU-R BT.709 for each of the three). Captured frames and everything encoded are BT.709 in video
// (limited) range.
#include <cstdint>

namespace tavlo {

struct ColorDescription {
  static constexpr uint8_t kBt709 = 1;
  static constexpr uint8_t kUnspecified = 2;

  uint8_t primaries = kBt709;
  uint8_t transfer = kBt709;
  uint8_t matrix = kBt709;
  bool fullRange = false;  // false: luma 16…235, chroma 16…240

  static constexpr ColorDescription bt709VideoRange() { return {}; }
  friend bool operator==(const ColorDescription&, const ColorDescription&) = default;
};

}  // namespace tavlo
