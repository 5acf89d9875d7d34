#include "tests/testkit/busy_screen.hpp"

#include <algorithm>
#include <cstring>

namespace tavlo::testkit {
namespace {

constexpr int32_t kScrollPixelsPerFrame = 4;
constexpr int32_t kGlyphWidth = 8;
constexpr int32_t kLineHeight = 16;
constexpr uint8_t kPaper = 235;
constexpr uint8_t kInk = 40;
// The noise area's share of each side, and its spread around mid-grey.
constexpr int32_t kNoiseFraction = 4;
constexpr int kNoiseSpread = 48;

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

}  // namespace

BusyScreen::BusyScreen(int32_t width, int32_t height, uint64_t seed)
    : width_(width), height_(height), seed_(seed), page_(size_t(width) * size_t(height) * 2, kPaper) {
  // Glyphs: random 6 × 10 bit patterns on a text grid, with short gaps between words.
  const int32_t pageHeight = height * 2;
  for (int32_t line = 0; line + kLineHeight <= pageHeight; line += kLineHeight) {
    for (int32_t column = 0; column + kGlyphWidth <= width; column += kGlyphWidth) {
      const uint64_t bits = mix(seed ^ (uint64_t(line) << 32) ^ uint64_t(column));
      if (bits % 7 == 0) continue;  // a space
      for (int32_t y = 0; y < 10; ++y) {
        for (int32_t x = 0; x < 6; ++x) {
          if ((bits >> ((y * 6 + x) % 64)) & 1) page_[size_t(line + 3 + y) * width + column + 1 + x] = kInk;
        }
      }
    }
  }
}

void BusyScreen::paint(uint64_t index, Nv12Buffer& out) const {
  const int32_t pageHeight = height_ * 2;
  const int32_t scroll = int32_t((index * kScrollPixelsPerFrame) % uint64_t(pageHeight));
  for (int32_t row = 0; row < height_; ++row) {
    const uint8_t* source = &page_[size_t((row + scroll) % pageHeight) * width_];
    std::memcpy(out.lumaPlane() + size_t(row) * out.lumaStride(), source, size_t(width_));
  }
  for (int32_t row = 0; row < out.chromaHeight(); ++row) {
    std::memset(out.chromaPlane() + size_t(row) * out.chromaStride(), 128, size_t(out.chromaWidth()) * 2);
  }
  // A window with a gradient, sliding to the right and wrapping.
  const int32_t windowWidth = width_ / 3 & ~1;
  const int32_t windowHeight = height_ / 3 & ~1;
  const int32_t left = int32_t((index * 6) % uint64_t(std::max(width_ - windowWidth, 2))) & ~1;
  const int32_t top = height_ / 6 & ~1;
  for (int32_t row = 0; row < windowHeight; ++row) {
    uint8_t* luma = out.lumaPlane() + size_t(top + row) * out.lumaStride() + left;
    for (int32_t x = 0; x < windowWidth; ++x) luma[x] = uint8_t(60 + (x + row) * 120 / (windowWidth + windowHeight));
  }
  for (int32_t row = 0; row < windowHeight / 2; ++row) {
    uint8_t* chroma = out.chromaPlane() + size_t(top / 2 + row) * out.chromaStride() + left;
    for (int32_t x = 0; x < windowWidth / 2; ++x) {
      chroma[2 * x] = 90;
      chroma[2 * x + 1] = 170;
    }
  }
  // Video: fresh noise in the bottom-right corner.
  const int32_t noiseWidth = width_ / kNoiseFraction;
  const int32_t noiseHeight = height_ / kNoiseFraction;
  uint64_t state = mix(seed_ ^ (index + 1) * 0x9e3779b97f4a7c15ULL);
  for (int32_t row = height_ - noiseHeight; row < height_; ++row) {
    uint8_t* luma = out.lumaPlane() + size_t(row) * out.lumaStride() + (width_ - noiseWidth);
    for (int32_t x = 0; x < noiseWidth; x += 8) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      const uint64_t value = mix(state);
      for (int32_t k = 0; k < 8 && x + k < noiseWidth; ++k) {
        luma[x + k] = uint8_t(128 - kNoiseSpread / 2 + int((value >> (k * 8)) & 0xff) * kNoiseSpread / 256);
      }
    }
  }
}

}  // namespace tavlo::testkit
