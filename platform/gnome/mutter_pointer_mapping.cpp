#include "platform/gnome/mutter_pointer_mapping.hpp"

#include <algorithm>
#include <cmath>

namespace tavlo {
namespace {

// linux/input-event-codes.h
constexpr int32_t kButtonLeft = 0x110, kButtonRight = 0x111, kButtonMiddle = 0x112;

}  // namespace

std::optional<StreamPosition> streamPosition(const ScreenRect& display, PixelSize pixels, ScreenPoint point) {
  if (!display.hasArea() || pixels.width <= 0 || pixels.height <= 0 || !std::isfinite(point.x) ||
      !std::isfinite(point.y)) {
    return std::nullopt;
  }
  const double x = (point.x - display.x) * pixels.width / display.width;
  const double y = (point.y - display.y) * pixels.height / display.height;
  // The last pixel's far edge belongs to the neighbour: stay just inside.
  return StreamPosition{std::clamp(x, 0.0, pixels.width - 0.5), std::clamp(y, 0.0, pixels.height - 0.5)};
}

ScreenPoint globalPoint(const ScreenRect& display, PixelSize pixels, StreamPosition position) {
  if (pixels.width <= 0 || pixels.height <= 0) return {display.x, display.y};
  return {display.x + position.x * display.width / pixels.width, display.y + position.y * display.height / pixels.height};
}

int32_t evdevButton(uint8_t mouseButton) {
  switch (mouseButton) {
    case 0: return kButtonLeft;
    case 1: return kButtonRight;
    case 2: return kButtonMiddle;
    default: return 0;
  }
}

}  // namespace tavlo
