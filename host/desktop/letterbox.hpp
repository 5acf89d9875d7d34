#pragma once
// Fits a camera picture into the virtual camera's fixed frame: scaled by s = min(W / w, H / h), centred,
// on opaque black. Edge columns or rows that the picture covers only in part are blended with the black
// by the part covered, so a bar of 437.5 pixels is 437 black pixels and one at half brightness.
#include <optional>

#include "host/desktop/camera_sink.hpp"
#include "media/pixel_buffer.hpp"

namespace tavlo {

struct LetterboxGeometry {
  double scale = 0;
  double offsetX = 0;  // left edge of the scaled picture in the target
  double offsetY = 0;  // top edge
};

LetterboxGeometry letterboxGeometry(int32_t sourceWidth, int32_t sourceHeight, int32_t targetWidth,
                                    int32_t targetHeight);

// Whether `frame`'s fields describe bytes it really holds (a positive size, rows of at least width × 4
// bytes, every row inside `bgra`).
bool isWellFormed(const vela::PixelBuffer& frame);

// Renders `source` into `target`. A source of exactly the target's size is copied row by row. False
// (target untouched) for a malformed source or target.
bool renderLetterboxed(const vela::PixelBuffer& source, const CameraFrameSlot& target);

}  // namespace tavlo
