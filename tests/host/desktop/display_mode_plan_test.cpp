// The mode arithmetic: which mode serves a request, which physical size a display gets, which modes a
// display of a given width offers.
#include <gtest/gtest.h>

#include "host/desktop/display_mode_plan.hpp"

namespace tavlo {
namespace {

TEST(DisplayModePlan, TargetModes) {
  struct Row {
    int64_t w, h;
    bool force1x;
    TargetMode want;
    const char* why;
  };
  const Row rows[] = {
      {2360, 1640, false, {1180, 820, true}, "HiDPI: a point is 2×2 client pixels"},
      {2360, 1640, true, {1180, 820, false}, "1x: half the size, one pixel per point"},
      {2362, 1646, true, {1180, 822, false}, "1x halves are rounded down to even"},
      {5761, 3000, true, {2880, 1500, false}, "5761 pixels still takes the 1x branch"},
      {5762, 3000, true, {2881, 1500, true}, "larger requests never get a 1x mode"},
      {20000, 10000, false, {4096, 2048, true}, "capped at 8192 pixels, aspect kept"},
      {1, 0, false, {1, 1, true}, "a dimension of 1 pixel or less gives 1 point"},
      {-5, 3, true, {1, 1, false}, "nonsense sizes still give a mode of at least 1×1"},
  };
  for (const auto& row : rows) {
    const TargetMode got = targetMode(row.w, row.h, row.force1x);
    EXPECT_EQ(got, row.want) << row.why;
    EXPECT_LE(got.pixelWidth(), kMaxDisplayPixels) << row.why;
  }
}

TEST(DisplayModePlan, PhysicalSizesPutHiDPIAt105PointsPerInchAndPortraitAt190Mm) {
  const auto landscape = creationSize(2360, 1640);
  EXPECT_NEAR(landscape.width, 285.4, 0.05);
  EXPECT_NEAR(landscape.height, 198.4, 0.05);
  const auto portrait = creationSize(1640, 2360);
  EXPECT_DOUBLE_EQ(portrait.width, 190.0);
  EXPECT_NEAR(portrait.height, 273.4, 0.05);
  EXPECT_NEAR(recreationSize({1180, 820, false}).width, 1180 / 80.0 * 25.4, 1e-9);
  EXPECT_DOUBLE_EQ(recreationSize({820, 1180, true}).width, 190.0);
  EXPECT_NEAR(nativeSize(0, 0).width, 1 / 105.0 * 25.4, 1e-9);  // at least 2×2 pixels
}

TEST(DisplayModePlan, ModesSuitADisplayOnlyInTheirDensityWindow) {
  // A 190 mm portrait display takes every portrait HiDPI mode and landscape HiDPI modes of 434–1271 points.
  EXPECT_TRUE(modeSuits({820, 1180, true}, 190.0));
  EXPECT_TRUE(modeSuits({4000, 6000, true}, 190.0));
  EXPECT_FALSE(modeSuits({433, 300, true}, 190.0));
  EXPECT_TRUE(modeSuits({434, 300, true}, 190.0));
  EXPECT_TRUE(modeSuits({1271, 800, true}, 190.0));
  EXPECT_FALSE(modeSuits({1272, 800, true}, 190.0));
  // Portrait HiDPI modes need a portrait-sized display; 1x modes 45–115 pixels per inch.
  EXPECT_FALSE(modeSuits({820, 1180, true}, 285.4));
  EXPECT_TRUE(modeSuits({1180, 820, false}, 285.4));
  EXPECT_FALSE(modeSuits({1300, 820, false}, 285.4));
  EXPECT_FALSE(modeSuits({1180, 820, true}, 0.0));
}

}  // namespace
}  // namespace tavlo
