// The virtual display on a private dummy Xorg: created, moded, made main, isolated for, restored and
// destroyed through RandR, each step checked with RandR queries of a connection of the test's own.
#include <gtest/gtest.h>

#include "host/desktop/isolated_display_list.hpp"
#include "host/desktop/virtual_display_controller.hpp"
#include "platform/display/randr_layout.hpp"
#include "platform/display/xorg_display_system.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

// Switches an output on with one of the server's standard modes, to the right of the others, as a
// monitor someone plugged in: a "physical" display.
uint32_t plugIn(const XcbConnection& connection, const std::string& outputName, const std::string& modeName) {
  auto layout = readRandrLayout(connection);
  if (!layout) return 0;
  const RandrOutput* output = nullptr;
  const RandrMode* mode = nullptr;
  for (const auto& o : layout->outputs) output = o.name == outputName ? &o : output;
  for (const auto& m : layout->modes) mode = !mode && m.name == modeName ? &m : mode;
  if (!output || !mode || !addOutputMode(connection, output->id, mode->id)) return 0;
  const uint32_t outputId = output->id, modeId = mode->id;
  layout = readRandrLayout(connection);
  RandrLayout after = *layout;
  RandrCrtc* crtc = after.freeCrtcFor(outputId);
  if (!crtc || !after.show(*crtc, outputId, modeId, static_cast<int32_t>(layout->rightEdge()), 0, 1)) return 0;
  return commitRandrLayout(connection, *layout, after) ? outputId : 0;
}

TEST(VirtualDisplayOnXorg, CreatesMakesMainIsolatesRestoresAndDestroys) {
  testkit::XorgServer server;
  ASSERT_TRUE(server.start()) << server.failureText();
  std::string error;
  auto check = XcbConnection::open(server.display(), &error);
  ASSERT_NE(check, nullptr) << error;
  const auto outputs = queryOutputs(*check);
  ASSERT_FALSE(outputs.empty());
  const uint32_t builtIn = outputs[0].outputId;
  const uint32_t external = plugIn(*check, "DUMMY1", "1920x1080");
  ASSERT_NE(external, 0u);

  auto system = XorgDisplaySystem::open(server.display(), &error);
  ASSERT_NE(system, nullptr) << error;
  Settings settings;
  VirtualDisplayController controller(system, settings);

  auto provided = controller.createDisplay(2360, 1640);
  ASSERT_TRUE(provided);
  auto shown = queryOutput(*check, provided->displayID);
  ASSERT_TRUE(shown && shown->enabled());
  EXPECT_EQ(shown->name, "DUMMY2");
  EXPECT_EQ(shown->pixelWidth, 2360u);
  EXPECT_EQ(shown->pixelHeight, 1640u);
  EXPECT_EQ(shown->scale, 2);
  EXPECT_EQ(shown->widthMm, 285u);
  EXPECT_EQ(shown->heightMm, 198u);
  EXPECT_EQ(shown->x, 2048 + 1920);
  EXPECT_EQ(controller.reModeCount(), 1);
  EXPECT_TRUE(controller.applyMode(2360, 1640, 2360, 1640));
  EXPECT_EQ(controller.reModeCount(), 1);

  ASSERT_TRUE(controller.setAsMainDisplay());
  shown = queryOutput(*check, provided->displayID);
  EXPECT_TRUE(shown->primary);
  EXPECT_EQ(shown->x, 0);
  EXPECT_EQ(shown->y, 0);
  EXPECT_EQ(queryOutput(*check, builtIn)->x, 2360);

  controller.isolatePhysicalDisplays();
  EXPECT_FALSE(queryOutput(*check, builtIn)->enabled());
  EXPECT_FALSE(queryOutput(*check, external)->enabled());
  EXPECT_TRUE(queryOutput(*check, provided->displayID)->enabled());
  EXPECT_TRUE(controller.isolationSettled());
  EXPECT_EQ(readIsolatedDisplayIDs(settings), (std::vector<uint32_t>{builtIn, external}));

  EXPECT_TRUE(controller.restorePhysicalDisplays());
  const auto builtInBack = queryOutput(*check, builtIn);
  const auto externalBack = queryOutput(*check, external);
  ASSERT_TRUE(builtInBack->enabled() && externalBack->enabled());
  EXPECT_EQ(builtInBack->pixelWidth, 2048u);
  EXPECT_EQ(builtInBack->x, 2360);
  EXPECT_EQ(externalBack->pixelWidth, 1920u);
  EXPECT_FALSE(settings.contains(kIsolatedDisplayIDsKey));

  controller.destroy();
  EXPECT_FALSE(queryOutput(*check, provided->displayID)->enabled());
  EXPECT_EQ(queryOutput(*check, provided->displayID)->scale, 1);
  const auto main = queryOutput(*check, builtIn);
  EXPECT_TRUE(main->primary);
  EXPECT_EQ(main->x, 0);
  EXPECT_EQ(main->y, 0);
  EXPECT_TRUE(queryOutput(*check, external)->enabled());
}

// A run that ended without releasing its virtual display (a crash, SIGKILL) left it on the user's own
// X server; the next run's start step switches it off, and takes it for its own display again.
TEST(VirtualDisplayOnXorg, TheNextRunSwitchesOffAVirtualDisplayACrashedRunLeftOn) {
  testkit::XorgServer server;
  ASSERT_TRUE(server.start()) << server.failureText();
  std::string error;
  auto check = XcbConnection::open(server.display(), &error);
  ASSERT_NE(check, nullptr) << error;
  const uint32_t builtIn = queryOutputs(*check)[0].outputId;
  uint32_t left = 0;
  {
    auto crashed = XorgDisplaySystem::open(server.display(), &error);
    ASSERT_NE(crashed, nullptr) << error;
    Settings settings;
    VirtualDisplayController controller(crashed, settings);
    auto provided = controller.createDisplay(1280, 800);
    ASSERT_TRUE(provided);
    left = provided->displayID;
    // Neither destroy() nor a release: the process went.
  }
  ASSERT_TRUE(queryOutput(*check, left)->enabled());

  auto system = XorgDisplaySystem::open(server.display(), &error);
  ASSERT_NE(system, nullptr) << error;
  Settings settings;
  VirtualDisplayController controller(system, settings);
  std::vector<std::string> lines;
  VirtualDisplayController::setLogSink([&](const std::string& line) { lines.push_back(line); });
  controller.recoverIsolationOnLaunch();
  VirtualDisplayController::setLogSink(nullptr);
  EXPECT_FALSE(queryOutput(*check, left)->enabled()) << "no phantom screen on the desktop";
  EXPECT_EQ(queryOutput(*check, left)->scale, 1);
  EXPECT_EQ(system->onlineDisplays(), (std::vector<DisplayId>{builtIn}));
  // The output by its name, not by the server's number for it.
  EXPECT_EQ(lines, (std::vector<std::string>{"🖥 poprzednia sesja zostawiła włączony ekran wirtualny " +
                                             queryOutput(*check, left)->name + " — wyłączam"}));
  // A session's isolation then has no "physical" display to switch off and on, and the output serves
  // this run's virtual display again.
  auto provided = controller.createDisplay(1280, 800);
  ASSERT_TRUE(provided);
  EXPECT_EQ(provided->displayID, left);
  controller.destroy();

  // The only screen on stays on, virtual or not.
  {
    auto crashed = XorgDisplaySystem::open(server.display(), &error);
    Settings crashedSettings;
    VirtualDisplayController again(crashed, crashedSettings);
    ASSERT_TRUE(again.createDisplay(1280, 800));
    ASSERT_TRUE(again.setAsMainDisplay());
    again.isolatePhysicalDisplays();
  }
  ASSERT_EQ(system->onlineDisplays(), (std::vector<DisplayId>{left}));
  EXPECT_TRUE(system->switchOffLeftoverVirtualDisplays().empty());
  EXPECT_TRUE(queryOutput(*check, left)->enabled());
}

}  // namespace
}  // namespace tavlo
