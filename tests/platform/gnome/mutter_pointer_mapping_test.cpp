// Global points to a virtual monitor's stream pixels: the scale between points and pixels, the
// display's place in the layout, points off the display held at its edge, and nonsense refused.
#include "platform/gnome/mutter_pointer_mapping.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace tavlo {
namespace {

TEST(MutterPointerMapping, PointsBecomeStreamPixelsOfTheDisplayTheyAreOn) {
  struct Row {
    const char* why;
    ScreenRect display;
    PixelSize pixels;
    ScreenPoint point;
    StreamPosition expected;
  };
  const Row rows[] = {
      {"scale 1 at the origin", {0, 0, 1280, 720}, {1280, 720}, {640, 360}, {640, 360}},
      {"scale 2: a point is two pixels", {0, 0, 960, 540}, {1920, 1080}, {240, 135}, {480, 270}},
      {"a display right of another", {1024, 0, 960, 540}, {1920, 1080}, {1024 + 10, 20}, {20, 40}},
      {"left of the display: its left edge", {1024, 0, 960, 540}, {1920, 1080}, {10, 20}, {0, 40}},
      {"past the right edge: just inside it", {0, 0, 960, 540}, {1920, 1080}, {5000, 540}, {1919.5, 1079.5}},
  };
  for (const auto& row : rows) {
    const auto position = streamPosition(row.display, row.pixels, row.point);
    ASSERT_TRUE(position) << row.why;
    EXPECT_EQ(*position, row.expected) << row.why;
    if (row.display.contains(row.point)) {
      EXPECT_EQ(globalPoint(row.display, row.pixels, *position), row.point) << row.why;
    }
  }
}

TEST(MutterPointerMapping, NoAreaOrNoNumberGivesNoPosition) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(streamPosition({0, 0, 0, 720}, {1280, 720}, {1, 1}));
  EXPECT_FALSE(streamPosition({0, 0, 1280, 720}, {0, 720}, {1, 1}));
  EXPECT_FALSE(streamPosition({0, 0, 1280, 720}, {1280, 720}, {nan, 1}));
  EXPECT_FALSE(streamPosition({0, 0, 1280, 720}, {1280, 720}, {1, std::numeric_limits<double>::infinity()}));
  EXPECT_EQ(evdevButton(0), 0x110);
  EXPECT_EQ(evdevButton(1), 0x111);
  EXPECT_EQ(evdevButton(2), 0x112);
  EXPECT_EQ(evdevButton(3), 0);
}

}  // namespace
}  // namespace tavlo
