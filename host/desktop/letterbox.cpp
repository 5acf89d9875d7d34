#include "host/desktop/letterbox.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace tavlo {
namespace {

// Fixed-point weights: 8 fraction bits keep every product of two weights and a byte inside 32 bits.
constexpr int kWeightOne = 256;

// Per target column (or row): the two source samples, the weight of the second, and how much of the
// target pixel the picture covers (0 outside the picture).
struct Tap {
  int32_t first = 0;
  int32_t second = 0;
  int32_t weight = 0;    // of `second`, 0..kWeightOne
  int32_t coverage = 0;  // 0..kWeightOne
};

std::vector<Tap> taps(int32_t targetSize, int32_t sourceSize, double scale, double offset) {
  std::vector<Tap> result(static_cast<size_t>(targetSize));
  const double end = offset + scale * sourceSize;
  for (int32_t i = 0; i < targetSize; ++i) {
    Tap& tap = result[static_cast<size_t>(i)];
    double covered = std::min<double>(i + 1, end) - std::max<double>(i, offset);
    tap.coverage = static_cast<int32_t>(std::lround(std::clamp(covered, 0.0, 1.0) * kWeightOne));
    if (tap.coverage == 0) continue;
    // The source position under the target pixel's centre, clamped to the picture's outer samples.
    double at = std::clamp((i + 0.5 - offset) / scale - 0.5, 0.0, static_cast<double>(sourceSize - 1));
    tap.first = static_cast<int32_t>(at);
    tap.second = std::min(tap.first + 1, sourceSize - 1);
    tap.weight = static_cast<int32_t>(std::lround((at - tap.first) * kWeightOne));
  }
  return result;
}

bool slotIsWellFormed(const CameraFrameSlot& slot) {
  return slot.width > 0 && slot.height > 0 && slot.bytesPerRow >= static_cast<size_t>(slot.width) * 4 &&
         slot.bytes.size() / slot.bytesPerRow >= static_cast<size_t>(slot.height);
}

}  // namespace

LetterboxGeometry letterboxGeometry(int32_t sourceWidth, int32_t sourceHeight, int32_t targetWidth,
                                    int32_t targetHeight) {
  LetterboxGeometry g;
  g.scale = std::min(static_cast<double>(targetWidth) / sourceWidth, static_cast<double>(targetHeight) / sourceHeight);
  g.offsetX = (targetWidth - g.scale * sourceWidth) * 0.5;
  g.offsetY = (targetHeight - g.scale * sourceHeight) * 0.5;
  return g;
}

bool isWellFormed(const vela::PixelBuffer& frame) {
  if (frame.width <= 0 || frame.height <= 0) return false;
  if (frame.bytesPerRow < static_cast<size_t>(frame.width) * vela::PixelBuffer::kBytesPerPixel) return false;
  // The last row needs only its pixels, not a full stride.
  size_t needed = frame.bytesPerRow * static_cast<size_t>(frame.height - 1) +
                  static_cast<size_t>(frame.width) * vela::PixelBuffer::kBytesPerPixel;
  return frame.bgra.size() >= needed;
}

bool renderLetterboxed(const vela::PixelBuffer& source, const CameraFrameSlot& target) {
  if (!isWellFormed(source) || !slotIsWellFormed(target)) return false;
  const size_t rowBytes = static_cast<size_t>(target.width) * 4;
  if (source.width == target.width && source.height == target.height) {
    for (int32_t y = 0; y < target.height; ++y) {
      std::memcpy(target.bytes.data() + static_cast<size_t>(y) * target.bytesPerRow,
                  source.bgra.data() + static_cast<size_t>(y) * source.bytesPerRow, rowBytes);
    }
    return true;
  }

  auto g = letterboxGeometry(source.width, source.height, target.width, target.height);
  auto columns = taps(target.width, source.width, g.scale, g.offsetX);
  auto rows = taps(target.height, source.height, g.scale, g.offsetY);
  for (int32_t y = 0; y < target.height; ++y) {
    uint8_t* out = target.bytes.data() + static_cast<size_t>(y) * target.bytesPerRow;
    const Tap& row = rows[static_cast<size_t>(y)];
    const uint8_t* upper = source.bgra.data() + static_cast<size_t>(row.first) * source.bytesPerRow;
    const uint8_t* lower = source.bgra.data() + static_cast<size_t>(row.second) * source.bytesPerRow;
    for (int32_t x = 0; x < target.width; ++x, out += 4) {
      const Tap& column = columns[static_cast<size_t>(x)];
      const int32_t coverage = row.coverage * column.coverage;  // up to kWeightOne²
      if (coverage == 0) {
        out[0] = out[1] = out[2] = 0;
        out[3] = 255;
        continue;
      }
      const size_t left = static_cast<size_t>(column.first) * 4, right = static_cast<size_t>(column.second) * 4;
      for (int c = 0; c < 3; ++c) {
        int32_t top = upper[left + c] * (kWeightOne - column.weight) + upper[right + c] * column.weight;
        int32_t bottom = lower[left + c] * (kWeightOne - column.weight) + lower[right + c] * column.weight;
        int32_t value = (top * (kWeightOne - row.weight) + bottom * row.weight) / kWeightOne;  // ×kWeightOne
        out[c] = static_cast<uint8_t>((static_cast<int64_t>(value) * coverage) / (int64_t{kWeightOne} * kWeightOne * kWeightOne));
      }
      out[3] = 255;
    }
  }
  return true;
}

}  // namespace tavlo
