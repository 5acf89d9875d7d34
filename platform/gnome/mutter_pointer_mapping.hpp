#pragma once
// Where a pointer event in global points lands in a virtual monitor's stream: mutter takes absolute
// pointer positions in the pixels of the stream's pictures. Pure arithmetic.
#include <cstdint>
#include <optional>

#include "platform/gnome/pipewire_screen_stream.hpp"
#include "platform/runtime/screen_geometry.hpp"

namespace tavlo {

struct StreamPosition {
  double x = 0;
  double y = 0;
  friend bool operator==(const StreamPosition&, const StreamPosition&) = default;
};

// The position in a stream of `pixels` of the point, on a display whose rectangle in global points is
// `display`; a point off the display is held at its edge (a drag that leaves it stays on it). Empty
// when the display or the stream has no area or the point is not a number.
std::optional<StreamPosition> streamPosition(const ScreenRect& display, PixelSize pixels, ScreenPoint point);

// The global point of a stream position (the inverse, for the pointer's position).
ScreenPoint globalPoint(const ScreenRect& display, PixelSize pixels, StreamPosition position);

// The evdev code of a mouse button as the injector numbers them (0 left, 1 right, 2 other); 0 for
// none.
int32_t evdevButton(uint8_t mouseButton);

}  // namespace tavlo
