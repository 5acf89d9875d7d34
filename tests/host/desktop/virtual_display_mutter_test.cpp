// The virtual display on a private headless mutter with a stand-in physical monitor, through the
// controller the sessions use: made at the client's size (HiDPI at scale 2), made main, isolated for
// (the virtual monitor alone and primary), restored to the layout there was, twice in a row without a
// monitor left behind.
#include <gtest/gtest.h>

#include "host/desktop/virtual_display_controller.hpp"
#include "platform/gnome/mutter_display_system.hpp"
#include "platform/runtime/json_store.hpp"
#include "tests/testkit/headless_mutter.hpp"

namespace tavlo {
namespace {

struct Shown {
  std::string connector;
  int64_t x, y;
  double scale;
  bool primary;
  friend bool operator==(const Shown&, const Shown&) = default;
};

std::vector<Shown> layoutOf(MutterDisplayConfig& config) {
  std::vector<Shown> shown;
  const auto state = config.state(true);
  for (const auto& logical : state.logicalMonitors) {
    for (const auto& connector : logical.connectors) {
      shown.push_back({connector, logical.x, logical.y, logical.scale, logical.primary});
    }
  }
  return shown;
}

TEST(VirtualDisplayOnMutter, IsMadeMainIsolatedForAndRestoredTwiceWithoutLeftovers) {
  testkit::HeadlessMutter mutter;
  ASSERT_TRUE(mutter.start(testkit::MonitorSize{1024, 768})) << mutter.failureText();
  mutter.applyToThisProcess();
  std::string error;
  auto bus = BusConnection::openSession(&error);
  ASSERT_TRUE(bus) << error;
  auto frames = std::make_shared<ScreenCastFrames>();
  auto system = MutterDisplaySystem::open({bus, frames, {}, {}}, &error);
  ASSERT_TRUE(system) << error;
  MutterDisplayConfig check(bus);
  const auto original = layoutOf(check);
  ASSERT_EQ(original.size(), 1u);
  const DisplayId physical = system->mainDisplay();

  Settings settings;
  VirtualDisplayController controller(system, settings);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto provided = controller.createDisplay(2560, 1440);
    ASSERT_TRUE(provided) << mutter.logs();
    const DisplayId id = provided->displayID;
    auto mode = system->currentMode(id);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->width, 1280);  // HiDPI: 1280×720 points on 2560×1440 pixels
    EXPECT_EQ(mode->pixelWidth, 2560);
    ASSERT_TRUE(frames->lookup(id));

    ASSERT_TRUE(controller.setAsMainDisplay()) << mutter.logs();
    EXPECT_EQ(system->mainDisplay(), id);
    controller.isolatePhysicalDisplays();
    EXPECT_EQ(system->onlineDisplays(), std::vector<DisplayId>{id});
    EXPECT_EQ(system->mainDisplay(), id);
    EXPECT_TRUE(controller.isolationSettled());
    mode = system->currentMode(id);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->pixelWidth, 2560);  // isolation leaves the virtual monitor's mode alone
    EXPECT_EQ(mode->width, 1280);

    EXPECT_TRUE(controller.restorePhysicalDisplays());
    controller.destroy();
    EXPECT_EQ(layoutOf(check), original);
    EXPECT_EQ(system->mainDisplay(), physical);
    EXPECT_FALSE(frames->lookup(id));
    EXPECT_EQ(check.state(true).monitors.size(), 1u);  // no virtual monitor left
  }
}

}  // namespace
}  // namespace tavlo
