#include "platform/capture/synthetic_desktop.hpp"

#include <algorithm>
#include <cstring>

#include "platform/runtime/random.hpp"

namespace tavlo {
namespace {

constexpr uint8_t kLumaBlack = 16;
constexpr uint8_t kLumaWhite = 235;
constexpr uint8_t kChromaNeutral = 128;
constexpr int32_t kCursorSide = 12;
// How far the box moves per frame, in pixels.
constexpr uint64_t kBoxStep = 7;

void fillRect(Nv12Buffer& buffer, int32_t x0, int32_t y0, int32_t w, int32_t h, uint8_t luma, uint8_t cb, uint8_t cr) {
  const int32_t x1 = std::min(buffer.width(), x0 + w);
  const int32_t y1 = std::min(buffer.height(), y0 + h);
  x0 = std::max(0, x0);
  y0 = std::max(0, y0);
  if (x0 >= x1 || y0 >= y1) return;
  for (int32_t y = y0; y < y1; ++y) {
    std::memset(buffer.lumaPlane() + static_cast<size_t>(y) * buffer.lumaStride() + x0, luma,
                static_cast<size_t>(x1 - x0));
  }
  for (int32_t cy = y0 / 2; cy < (y1 + 1) / 2; ++cy) {
    uint8_t* row = buffer.chromaPlane() + static_cast<size_t>(cy) * buffer.chromaStride();
    for (int32_t cx = x0 / 2; cx < (x1 + 1) / 2; ++cx) {
      row[2 * cx] = cb;
      row[2 * cx + 1] = cr;
    }
  }
}

}  // namespace

SyntheticDesktop::SyntheticDesktop(uint64_t seed) {
  SeededRandom random(seed);
  backgroundLuma_ = static_cast<uint8_t>(kLumaBlack + random.below(64));
  boxCb_ = static_cast<uint8_t>(16 + random.below(225));
  boxCr_ = static_cast<uint8_t>(16 + random.below(225));
  phase_ = static_cast<uint32_t>(random.below(1024));
}

void SyntheticDesktop::paint(uint64_t index, bool showsCursor, Nv12Buffer& buffer) const {
  const int32_t width = buffer.width();
  const int32_t height = buffer.height();
  // Background: a gentle diagonal gradient, so that the picture is not flat.
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = buffer.lumaPlane() + static_cast<size_t>(y) * buffer.lumaStride();
    for (int32_t x = 0; x < width; ++x) {
      row[x] = static_cast<uint8_t>(backgroundLuma_ + ((static_cast<uint32_t>(x + y) + phase_) >> 4) % 32);
    }
  }
  for (int32_t cy = 0; cy < buffer.chromaHeight(); ++cy) {
    std::memset(buffer.chromaPlane() + static_cast<size_t>(cy) * buffer.chromaStride(), kChromaNeutral,
                static_cast<size_t>(buffer.chromaWidth()) * 2);
  }
  // The moving box: an eighth of each side, travelling along a diagonal and wrapping.
  const int32_t boxW = std::max(1, width / 8);
  const int32_t boxH = std::max(1, height / 8);
  const uint64_t travel = (index + phase_) * kBoxStep;
  const auto boxX = static_cast<int32_t>(travel % static_cast<uint64_t>(std::max(1, width - boxW)));
  const auto boxY = static_cast<int32_t>(travel / 2 % static_cast<uint64_t>(std::max(1, height - boxH)));
  fillRect(buffer, boxX, boxY, boxW, boxH, kLumaWhite - 40, boxCb_, boxCr_);
  if (showsCursor) {
    fillRect(buffer, width / 2, height / 2, kCursorSide, kCursorSide, kLumaWhite, kChromaNeutral, kChromaNeutral);
  }
}

}  // namespace tavlo
