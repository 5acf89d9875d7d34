#include "host/desktop/letterbox.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tavlo {
namespace {

constexpr int32_t kW = 1280, kH = 720;

vela::PixelBuffer solid(int32_t width, int32_t height, size_t padding = 0) {
  vela::PixelBuffer frame;
  frame.width = width;
  frame.height = height;
  frame.bytesPerRow = static_cast<size_t>(width) * 4 + padding;
  frame.bgra.assign(frame.bytesPerRow * static_cast<size_t>(height), 200);
  return frame;
}

struct Target {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(size_t{kW} * kH * 4, 77);
  CameraFrameSlot slot() { return {bytes, size_t{kW} * 4, kW, kH}; }
  uint8_t blue(int x, int y) const { return bytes[(static_cast<size_t>(y) * kW + static_cast<size_t>(x)) * 4]; }
  uint8_t alpha(int x, int y) const { return bytes[(static_cast<size_t>(y) * kW + static_cast<size_t>(x)) * 4 + 3]; }
};

TEST(Letterbox, GeometryOfLandscapeAndPortraitSources) {
  auto landscape = letterboxGeometry(1920, 1080, kW, kH);
  EXPECT_DOUBLE_EQ(landscape.scale, 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(landscape.offsetX, 0.0);
  EXPECT_NEAR(landscape.offsetY, 0.0, 1e-9);
  auto portrait = letterboxGeometry(1080, 1920, kW, kH);
  EXPECT_DOUBLE_EQ(portrait.scale, 0.375);
  EXPECT_DOUBLE_EQ(portrait.offsetX, 437.5);  // 405 pixels wide, centred
  EXPECT_DOUBLE_EQ(portrait.offsetY, 0.0);
}

TEST(Letterbox, LandscapeFillsTheFrameWithoutBars) {
  Target target;
  ASSERT_TRUE(renderLetterboxed(solid(1920, 1080), target.slot()));
  for (auto [x, y] : {std::pair{0, 0}, {1279, 0}, {0, 719}, {1279, 719}, {640, 360}}) {
    EXPECT_EQ(target.blue(x, y), 200) << x << "," << y;
    EXPECT_EQ(target.alpha(x, y), 255);
  }
}

TEST(Letterbox, PortraitIsCentredBetweenBarsOfFourHundredThirtySevenAndAHalfPixels) {
  Target target;
  ASSERT_TRUE(renderLetterboxed(solid(1080, 1920), target.slot()));
  for (int y : {0, 360, 719}) {
    EXPECT_EQ(target.blue(0, y), 0);
    EXPECT_EQ(target.blue(436, y), 0);
    EXPECT_EQ(target.blue(437, y), 100);  // half covered
    EXPECT_EQ(target.blue(438, y), 200);
    EXPECT_EQ(target.blue(841, y), 200);
    EXPECT_EQ(target.blue(842, y), 100);  // half covered
    EXPECT_EQ(target.blue(843, y), 0);
    EXPECT_EQ(target.blue(1279, y), 0);
    EXPECT_EQ(target.alpha(0, y), 255);  // bars are opaque black
  }
}

TEST(Letterbox, ASourceOfTheFrameSizeIsCopiedRowByRow) {
  auto source = solid(kW, kH, 64);  // rows padded: the copy steps by the source's stride
  source.bgra[static_cast<size_t>(719) * source.bytesPerRow + 1279 * 4] = 9;
  Target target;
  ASSERT_TRUE(renderLetterboxed(source, target.slot()));
  EXPECT_EQ(target.blue(1279, 719), 9);
  EXPECT_EQ(target.blue(0, 0), 200);
}

TEST(Letterbox, RefusesMalformedSourcesAndLeavesTheTargetAlone) {
  auto truncated = solid(640, 480);
  truncated.bgra.resize(truncated.bgra.size() - 1);
  auto stride = solid(640, 480);
  stride.bytesPerRow = 639 * 4;
  for (const auto& source : {truncated, stride, solid(0, 10), solid(10, 0)}) {
    Target target;
    EXPECT_FALSE(renderLetterboxed(source, target.slot()));
    EXPECT_EQ(target.blue(640, 360), 77);
  }
  // A last row needs only its pixels, not a whole stride.
  auto tight = solid(640, 480, 16);
  tight.bgra.resize(tight.bgra.size() - 16);
  Target target;
  EXPECT_TRUE(renderLetterboxed(tight, target.slot()));
}

}  // namespace
}  // namespace tavlo
