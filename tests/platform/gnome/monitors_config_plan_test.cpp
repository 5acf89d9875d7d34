// The layouts handed to mutter after a batch of display changes: mutter refuses overlapping, loose or
// offset layouts and layouts without exactly one primary, so each case below is one the controller's
// moves would otherwise turn into a refusal.
#include "platform/gnome/monitors_config_plan.hpp"

#include <gtest/gtest.h>

namespace tavlo {
namespace {

MutterMonitor monitor(const std::string& connector, int64_t width, int64_t height) {
  MutterMonitor m;
  m.connector = connector;
  m.vendor = "V";
  MutterMode mode;
  mode.id = std::to_string(width) + "x" + std::to_string(height);
  mode.width = width;
  mode.height = height;
  mode.current = true;
  mode.preferred = true;
  mode.supportedScales = {1.0, 2.0};
  m.modes.push_back(mode);
  return m;
}

MutterLogicalMonitor shown(const std::string& connector, int64_t x, int64_t y, bool primary = false, double scale = 1) {
  MutterLogicalMonitor logical;
  logical.x = x;
  logical.y = y;
  logical.scale = scale;
  logical.primary = primary;
  logical.connectors = {connector};
  return logical;
}

// A desktop with a 1920×1080 monitor at the origin and our 1280×720 virtual one to its right.
MutterDisplayState desktopWithVirtual() {
  MutterDisplayState state;
  state.monitors = {monitor("HDMI-1", 1920, 1080), monitor("Meta-1", 1280, 720)};
  state.logicalMonitors = {shown("HDMI-1", 0, 0, true), shown("Meta-1", 1920, 0)};
  return state;
}

const PlannedLogicalMonitor* find(const MonitorsConfigPlan& plan, const std::string& connector) {
  for (const auto& logical : plan.logicalMonitors) {
    if (logical.monitors.front().first == connector) return &logical;
  }
  return nullptr;
}

int primaries(const MonitorsConfigPlan& plan) {
  int count = 0;
  for (const auto& logical : plan.logicalMonitors) count += logical.primary ? 1 : 0;
  return count;
}

TEST(MonitorsConfigPlan, MakingTheVirtualDisplayMainPutsItAtTheOriginAsThePrimary) {
  const auto plan = planMonitorsConfig(desktopWithVirtual(),
                                       {{MonitorChange::Kind::origin, "Meta-1", 0, 0},
                                        {MonitorChange::Kind::origin, "HDMI-1", 1280, 0}},
                                       {});
  ASSERT_TRUE(plan);
  const auto* virt = find(*plan, "Meta-1");
  const auto* physical = find(*plan, "HDMI-1");
  ASSERT_TRUE(virt && physical);
  EXPECT_TRUE(virt->primary);
  EXPECT_EQ(primaries(*plan), 1);
  EXPECT_EQ(virt->x, 0);
  EXPECT_EQ(physical->x, 1280);
  EXPECT_EQ(physical->monitors.front().second, "1920x1080");  // the mode stays as it was
}

TEST(MonitorsConfigPlan, AMonitorInTheWayOfOneMovedToTheOriginMovesToTheRightEdge) {
  // Restoring the main display puts it back at the origin while the virtual display is still there.
  MutterDisplayState state;
  state.monitors = {monitor("HDMI-1", 1920, 1080), monitor("Meta-1", 1280, 720)};
  state.logicalMonitors = {shown("Meta-1", 0, 0, true), shown("HDMI-1", 1280, 0)};
  const auto plan = planMonitorsConfig(state, {{MonitorChange::Kind::origin, "HDMI-1", 0, 0}}, {});
  ASSERT_TRUE(plan);
  EXPECT_TRUE(find(*plan, "HDMI-1")->primary);
  EXPECT_EQ(find(*plan, "HDMI-1")->x, 0);
  EXPECT_EQ(find(*plan, "Meta-1")->x, 1920);
  EXPECT_EQ(find(*plan, "Meta-1")->y, 0);
  EXPECT_EQ(primaries(*plan), 1);
}

TEST(MonitorsConfigPlan, SwitchingOffTheMiddleMonitorJoinsTheOthersAndSwitchingOffThePrimaryMovesIt) {
  MutterDisplayState state;
  state.monitors = {monitor("A", 1000, 800), monitor("B", 1000, 800), monitor("C", 1000, 800)};
  state.logicalMonitors = {shown("A", 0, 0, true), shown("B", 1000, 0), shown("C", 2000, 0)};
  auto plan = planMonitorsConfig(state, {{MonitorChange::Kind::disable, "B"}}, {});
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->logicalMonitors.size(), 2u);
  EXPECT_EQ(find(*plan, "C")->x, 1000);  // against A's edge, no gap

  plan = planMonitorsConfig(state, {{MonitorChange::Kind::disable, "A"}, {MonitorChange::Kind::disable, "B"}}, {});
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->logicalMonitors.size(), 1u);
  EXPECT_EQ(find(*plan, "C")->x, 0);  // the corner goes back to the origin
  EXPECT_TRUE(find(*plan, "C")->primary);
}

TEST(MonitorsConfigPlan, AMonitorSwitchedOnAgainGetsItsRememberedModeScaleAndPlace) {
  MutterDisplayState state = desktopWithVirtual();
  state.monitors[0].modes.push_back(state.monitors[0].modes.front());
  state.monitors[0].modes[0].id = "3840x2160";
  state.monitors[0].modes[0].width = 3840;
  state.monitors[0].modes[0].height = 2160;
  state.monitors[0].modes[0].current = false;
  state.monitors[0].modes[0].preferred = false;
  state.logicalMonitors = {shown("Meta-1", 0, 0, true)};  // HDMI-1 is off
  const std::map<std::string, RememberedPlacement> remembered = {{"HDMI-1", {"1920x1080", 2.0, 0, 1280, 0}}};
  auto plan = planMonitorsConfig(state, {{MonitorChange::Kind::enable, "HDMI-1"}}, remembered);
  ASSERT_TRUE(plan);
  const auto* physical = find(*plan, "HDMI-1");
  ASSERT_TRUE(physical);
  EXPECT_EQ(physical->monitors.front().second, "1920x1080");
  EXPECT_DOUBLE_EQ(physical->scale, 2.0);
  EXPECT_EQ(physical->x, 1280);
  EXPECT_TRUE(find(*plan, "Meta-1")->primary);  // switching on does not take the primary

  // Without a memory of it, its preferred mode at scale 1, beside the others.
  plan = planMonitorsConfig(state, {{MonitorChange::Kind::enable, "HDMI-1"}}, {});
  ASSERT_TRUE(plan);
  EXPECT_EQ(find(*plan, "HDMI-1")->monitors.front().second, "1920x1080");
  EXPECT_EQ(find(*plan, "HDMI-1")->x, 1280);
}

TEST(MonitorsConfigPlan, ALogicalLayoutCountsAScaledMonitorInLogicalPixels) {
  MutterDisplayState state;
  state.layoutMode = MutterLayoutMode::logical;
  state.monitors = {monitor("HDMI-1", 1920, 1080), monitor("Meta-1", 2560, 1440)};
  state.logicalMonitors = {shown("HDMI-1", 0, 0, true), shown("Meta-1", 1920, 0, false, 2.0)};
  const auto plan = planMonitorsConfig(state,
                                       {{MonitorChange::Kind::origin, "Meta-1", 0, 0},
                                        {MonitorChange::Kind::origin, "HDMI-1", 1280, 0}},
                                       {});
  ASSERT_TRUE(plan);
  EXPECT_EQ(find(*plan, "HDMI-1")->x, 1280);  // 2560 pixels at scale 2 take 1280
  EXPECT_DOUBLE_EQ(find(*plan, "Meta-1")->scale, 2.0);

  // In a physical layout the same monitor takes its full 2560 pixels: the other one moves out of its way.
  state.layoutMode = MutterLayoutMode::physical;
  const auto physical = planMonitorsConfig(state,
                                           {{MonitorChange::Kind::origin, "Meta-1", 0, 0},
                                            {MonitorChange::Kind::origin, "HDMI-1", 1280, 0}},
                                           {});
  ASSERT_TRUE(physical);
  EXPECT_EQ(find(*physical, "HDMI-1")->x, 2560);
}

TEST(MonitorsConfigPlan, OffsetOriginsAreMovedToTheCornerAndImpossibleBatchesRefused) {
  auto plan = planMonitorsConfig(desktopWithVirtual(),
                                 {{MonitorChange::Kind::origin, "Meta-1", -1280, -100},
                                  {MonitorChange::Kind::origin, "HDMI-1", 0, 0}},
                                 {});
  ASSERT_TRUE(plan);
  EXPECT_EQ(find(*plan, "Meta-1")->x, 0);
  EXPECT_EQ(find(*plan, "Meta-1")->y, 0);
  EXPECT_EQ(find(*plan, "HDMI-1")->x, 1280);
  EXPECT_EQ(find(*plan, "HDMI-1")->y, 100);
  EXPECT_TRUE(find(*plan, "HDMI-1")->primary);  // the one the caller put at the origin

  std::string error;
  EXPECT_FALSE(planMonitorsConfig(desktopWithVirtual(),
                                  {{MonitorChange::Kind::disable, "HDMI-1"}, {MonitorChange::Kind::disable, "Meta-1"}},
                                  {}, &error));
  EXPECT_NE(error.find("no monitor"), std::string::npos);
  EXPECT_FALSE(planMonitorsConfig(desktopWithVirtual(), {{MonitorChange::Kind::enable, "DP-9"}}, {}, &error));
}

}  // namespace
}  // namespace tavlo
