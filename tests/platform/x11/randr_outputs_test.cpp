// The global point space over RandR outputs: each output's rectangle divided by its scale.
#include <gtest/gtest.h>

#include "platform/x11/randr_outputs.hpp"

namespace tavlo {
namespace {

OutputGeometry output(uint32_t id, int32_t x, uint32_t width, uint32_t height, int32_t scale) {
  OutputGeometry out;
  out.outputId = id;
  out.crtcId = id + 100;
  out.x = x;
  out.pixelWidth = width;
  out.pixelHeight = height;
  out.scale = scale;
  return out;
}

TEST(RandrPointSpace, OutputsArePlacedInPointsByTheirScale) {
  OutputGeometry off = output(3, 0, 0, 0, 1);
  off.crtcId = 0;
  const std::vector<OutputGeometry> outputs = {off, output(1, 0, 2048, 1536, 1), output(2, 2048, 1280, 720, 2)};
  EXPECT_EQ(pointBounds(outputs[1]), (ScreenRect{0, 0, 2048, 1536}));
  EXPECT_EQ(pointBounds(outputs[2]), (ScreenRect{1024, 0, 640, 360}));
  EXPECT_EQ(pointBounds(off), ScreenRect{});

  // The HiDPI output's points (1024…1664) overlap the first output's (0…2048): the first one holds them.
  EXPECT_EQ(outputAtPoint(outputs, {1344, 180})->outputId, 1u);
  EXPECT_EQ(outputAtPoint(outputs, {1700, 500}), outputs.data() + 1);
  EXPECT_EQ(outputAtPoint(outputs, {5000, 0}), nullptr);
  EXPECT_EQ(outputAtPixel(outputs, {2688, 360})->outputId, 2u);
  EXPECT_EQ(outputAtPixel(outputs, {3328, 0}), nullptr);  // right edges belong to the neighbour
}

}  // namespace
}  // namespace tavlo
