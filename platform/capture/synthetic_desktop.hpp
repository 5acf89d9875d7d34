#pragma once
// A made-up desktop for in-process capture: a seeded background with a box that moves a little from one
// frame to the next, and, when the cursor is shown, a pointer-sized block. Pure: the same seed, frame
// index and size always paint the same picture, so tests can compare frames.
#include <cstdint>

#include "platform/video/nv12_buffer.hpp"

namespace tavlo {

class SyntheticDesktop {
 public:
  explicit SyntheticDesktop(uint64_t seed);

  // Paints frame `index` into every row of `buffer` (BT.709 video range).
  void paint(uint64_t index, bool showsCursor, Nv12Buffer& buffer) const;

 private:
  uint8_t backgroundLuma_;
  uint8_t boxCb_;
  uint8_t boxCr_;
  uint32_t phase_;
};

}  // namespace tavlo
