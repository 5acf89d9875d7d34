#include "platform/focus/root_pixels_to_points.hpp"

namespace tavlo {

ScreenRect rootPixelsToPoints(const std::vector<OutputGeometry>& outputs, const ScreenRect& pixels) {
  const OutputGeometry* output = outputAtPixel(outputs, pixels.middle());
  if (!output) output = outputAtPixel(outputs, {pixels.x, pixels.y});
  const double scale = output && output->scale > 0 ? output->scale : 1;
  return {pixels.x / scale, pixels.y / scale, pixels.width / scale, pixels.height / scale};
}

}  // namespace tavlo
