#include "platform/focus/root_pixels_to_points.hpp"

#include <gtest/gtest.h>

namespace tavlo {
namespace {

OutputGeometry output(int32_t x, uint32_t width, uint32_t height, int32_t scale) {
  OutputGeometry out;
  out.connected = true;
  out.crtcId = 1;
  out.x = x;
  out.pixelWidth = width;
  out.pixelHeight = height;
  out.scale = scale;
  return out;
}

TEST(RootPixelsToPoints, UsesTheScaleOfTheOutputThatHoldsTheRectangle) {
  // A HiDPI display at the origin and a plain one to its right, in root pixels.
  const std::vector<OutputGeometry> outputs = {output(0, 3840, 2160, 2), output(3840, 1920, 1080, 1)};
  struct Row {
    const char* why;
    ScreenRect pixels;
    ScreenRect points;
  };
  const Row rows[] = {
      {"on the HiDPI display", {200, 400, 600, 48}, {100, 200, 300, 24}},
      {"on the plain display", {4000, 100, 300, 20}, {4000, 100, 300, 20}},
      {"across both: the middle decides", {3700, 100, 600, 20}, {3700, 100, 600, 20}},
      {"top above the screen, middle on the HiDPI display", {200, -50, 600, 400}, {100, -25, 300, 200}},
      {"off every output: one pixel per point", {9000, 5000, 100, 20}, {9000, 5000, 100, 20}},
  };
  for (const Row& row : rows) EXPECT_EQ(rootPixelsToPoints(outputs, row.pixels), row.points) << row.why;
}

}  // namespace
}  // namespace tavlo
