#pragma once
// Screen content that keeps an encoder busy, for tests and benchmarks of the HEVC backend: a page of
// text-like glyph rows scrolling up a few pixels each frame, a coloured window sliding across it and a
// video-like area of fresh noise in every frame. The same size, seed and frame index always paint the
// same picture.
#include <cstdint>
#include <vector>

#include "platform/video/nv12_buffer.hpp"

namespace tavlo::testkit {

class BusyScreen {
 public:
  BusyScreen(int32_t width, int32_t height, uint64_t seed = 1);

  // Paints frame `index` into every row of `out` (which must be of the screen's size).
  void paint(uint64_t index, Nv12Buffer& out) const;

 private:
  int32_t width_;
  int32_t height_;
  uint64_t seed_;
  std::vector<uint8_t> page_;  // luma of a page twice the screen's height, scrolled through
};

}  // namespace tavlo::testkit
