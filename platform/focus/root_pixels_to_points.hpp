#pragma once
// AT-SPI reports screen extents in root-window pixels; the watcher works in the global point space
// (root pixels divided by the HiDPI scale of the output that holds them, the main display's top left
// at the origin). A rectangle is converted whole with one scale, so that its size stays consistent
// with its origin: the scale of the output that holds its middle, else of the one that holds its
// origin, else 1 (a rectangle off every output).
#include <vector>

#include "platform/runtime/screen_geometry.hpp"
#include "platform/x11/randr_outputs.hpp"

namespace tavlo {

ScreenRect rootPixelsToPoints(const std::vector<OutputGeometry>& outputs, const ScreenRect& pixels);

}  // namespace tavlo
