#pragma once
// One decoded picture in 32-bit BGRA (bytes B, G, R, A; alpha opaque). Rows are `bytesPerRow` apart,
// which may exceed width × 4: consumers step by it.
#include <cstddef>
#include <cstdint>

#include "platform/runtime/bytes.hpp"

namespace vela {

struct PixelBuffer {
  static constexpr size_t kBytesPerPixel = 4;

  int32_t width = 0;
  int32_t height = 0;
  size_t bytesPerRow = 0;
  tavlo::Bytes bgra;  // bytesPerRow × height bytes
};

}  // namespace vela
