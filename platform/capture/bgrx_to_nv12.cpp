#include "platform/capture/bgrx_to_nv12.hpp"

#include <cstring>

namespace tavlo {
namespace {

// BT.709 coefficients scaled to video range, × 2^15. Each chroma row sums to 0, so that grey has no
// colour; the luma row sums to 219/255 of unity, so that white is 235.
constexpr int32_t kShift = 15;
constexpr int32_t kYR = 5983, kYG = 20127, kYB = 2032;
constexpr int32_t kCbR = -3298, kCbG = -11094, kCbB = 14392;
constexpr int32_t kCrR = 14392, kCrG = -13072, kCrB = -1320;
constexpr int32_t kLumaOffset = (16 << kShift) + (1 << (kShift - 1));
// Chroma works on the sum of four pixels: two more bits.
constexpr int32_t kChromaShift = kShift + 2;
constexpr int32_t kChromaOffset = (128 << kChromaShift) + (1 << (kChromaShift - 1));

// One pixel as the server stores it (B, G, R, unused), read as a little-endian word.
inline uint32_t pixelAt(const uint8_t* row, int32_t x) {
  uint32_t word;
  std::memcpy(&word, row + 4 * x, sizeof word);
  return word;
}

// The row loops are written once and compiled twice, for AVX2 and for any x86-64, and chosen at run time.
// (Not with target_clones: its ifunc resolver runs before the sanitizers' runtimes are up.)
[[gnu::always_inline]] inline void lumaRowBody(const uint8_t* __restrict in, uint8_t* __restrict out, int32_t width) {
  for (int32_t x = 0; x < width; ++x) {
    const uint32_t p = pixelAt(in, x);
    const int32_t b = int32_t(p & 0xff), g = int32_t((p >> 8) & 0xff), r = int32_t((p >> 16) & 0xff);
    out[x] = uint8_t((kYR * r + kYG * g + kYB * b + kLumaOffset) >> kShift);
  }
}

[[gnu::always_inline]] inline void chromaRowBody(const uint8_t* __restrict top, const uint8_t* __restrict bottom,
                                                 uint8_t* __restrict out, int32_t pairs) {
  for (int32_t x = 0; x < pairs; ++x) {
    const uint32_t a = pixelAt(top, 2 * x), b = pixelAt(top, 2 * x + 1);
    const uint32_t c = pixelAt(bottom, 2 * x), d = pixelAt(bottom, 2 * x + 1);
    const int32_t sb = int32_t((a & 0xff) + (b & 0xff) + (c & 0xff) + (d & 0xff));
    const int32_t sg = int32_t(((a >> 8) & 0xff) + ((b >> 8) & 0xff) + ((c >> 8) & 0xff) + ((d >> 8) & 0xff));
    const int32_t sr = int32_t(((a >> 16) & 0xff) + ((b >> 16) & 0xff) + ((c >> 16) & 0xff) + ((d >> 16) & 0xff));
    out[2 * x] = uint8_t((kCbR * sr + kCbG * sg + kCbB * sb + kChromaOffset) >> kChromaShift);
    out[2 * x + 1] = uint8_t((kCrR * sr + kCrG * sg + kCrB * sb + kChromaOffset) >> kChromaShift);
  }
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void lumaRowAvx2(const uint8_t* in, uint8_t* out, int32_t width) {
  lumaRowBody(in, out, width);
}
[[gnu::target("avx2")]] void chromaRowAvx2(const uint8_t* top, const uint8_t* bottom, uint8_t* out, int32_t pairs) {
  chromaRowBody(top, bottom, out, pairs);
}
bool cpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#else
bool cpuHasAvx2() { return false; }
void lumaRowAvx2(const uint8_t* in, uint8_t* out, int32_t width) { lumaRowBody(in, out, width); }
void chromaRowAvx2(const uint8_t* top, const uint8_t* bottom, uint8_t* out, int32_t pairs) {
  chromaRowBody(top, bottom, out, pairs);
}
#endif

void lumaRow(const uint8_t* in, uint8_t* out, int32_t width) {
  if (cpuHasAvx2()) {
    lumaRowAvx2(in, out, width);
  } else {
    lumaRowBody(in, out, width);
  }
}

void chromaRow(const uint8_t* top, const uint8_t* bottom, uint8_t* out, int32_t pairs) {
  if (cpuHasAvx2()) {
    chromaRowAvx2(top, bottom, out, pairs);
  } else {
    chromaRowBody(top, bottom, out, pairs);
  }
}

// The last column of an odd width: its pixel stands for both of its pair.
void lastChroma(const uint8_t* top, const uint8_t* bottom, uint8_t* out, int32_t x) {
  const uint32_t a = pixelAt(top, x), c = pixelAt(bottom, x);
  const int32_t sb = 2 * int32_t((a & 0xff) + (c & 0xff));
  const int32_t sg = 2 * int32_t(((a >> 8) & 0xff) + ((c >> 8) & 0xff));
  const int32_t sr = 2 * int32_t(((a >> 16) & 0xff) + ((c >> 16) & 0xff));
  out[0] = uint8_t((kCbR * sr + kCbG * sg + kCbB * sb + kChromaOffset) >> kChromaShift);
  out[1] = uint8_t((kCrR * sr + kCrG * sg + kCrB * sb + kChromaOffset) >> kChromaShift);
}

}  // namespace

void convertBgrxToNv12Rows(const BgrxView& source, const Nv12View& target, int32_t firstRow, int32_t endRow) {
  const int32_t width = source.width;
  for (int32_t row = firstRow; row < endRow; row += 2) {
    const uint8_t* top = source.pixels + size_t(row) * size_t(source.bytesPerRow);
    // An odd height's last row pairs with itself.
    const bool pair = row + 1 < source.height;
    const uint8_t* bottom = pair ? top + source.bytesPerRow : top;
    lumaRow(top, target.luma + size_t(row) * size_t(target.lumaBytesPerRow), width);
    if (pair) lumaRow(bottom, target.luma + size_t(row + 1) * size_t(target.lumaBytesPerRow), width);
    uint8_t* chroma = target.chroma + size_t(row / 2) * size_t(target.chromaBytesPerRow);
    chromaRow(top, bottom, chroma, width / 2);
    if (width % 2 != 0) lastChroma(top, bottom, chroma + 2 * (width / 2), width - 1);
  }
}

}  // namespace tavlo
