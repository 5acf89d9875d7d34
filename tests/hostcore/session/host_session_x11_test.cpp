// A streaming session on a private dummy Xorg, with the real virtual-display controller and the Xorg
// capture: a client's resize re-modes the virtual output and capture goes on at the new size; the
// client's departure destroys the virtual output and switches the isolated outputs back on. Each step is
// checked with RandR queries of a connection of the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "host/desktop/virtual_display_controller.hpp"
#include "platform/capture/x11_capture.hpp"
#include "platform/display/xorg_display_system.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace vela {
namespace {

using testkit::eventually;
using namespace std::chrono_literals;

// The sizes of the frames capture delivered, newest last.
struct FrameSizes {
  std::mutex mutex;
  std::pair<int64_t, int64_t> last{0, 0};
  int count = 0;
  void add(int64_t w, int64_t h) {
    std::lock_guard guard(mutex);
    last = {w, h};
    ++count;
  }
  std::pair<int64_t, int64_t> newest() {
    std::lock_guard guard(mutex);
    return last;
  }
};

TEST(SessionOnXorg, AResizeReModesTheOutputAndCaptureFollowsThenTeardownRestoresTheOutputs) {
  tavlo::testkit::XorgServer server;
  ASSERT_TRUE(server.start()) << server.failureText();
  std::string error;
  auto check = tavlo::XcbConnection::open(server.display(), &error);
  ASSERT_NE(check, nullptr) << error;
  const auto outputs = tavlo::queryOutputs(*check);
  ASSERT_FALSE(outputs.empty());
  const uint32_t builtIn = outputs[0].outputId;
  ASSERT_TRUE(outputs[0].enabled());

  auto system = tavlo::XorgDisplaySystem::open(server.display(), &error);
  ASSERT_NE(system, nullptr) << error;
  testkit::SessionRig rig;
  auto controller = std::make_shared<tavlo::VirtualDisplayController>(system, rig.settings());
  auto capture = std::make_shared<tavlo::X11Capture>(tavlo::X11Capture::Options{server.display(), nullptr, 2});
  rig.deps.engines = std::make_shared<EngineFactory>(capture, rig.encoderBackend, rig.clock(), rig.deps.settings);
  rig.deps.windowSystem = system;
  auto config = rig.config();
  config.display = controller;
  rig.started(std::move(config));
  std::atomic<int> disconnects{0};
  rig.session->updateCallbacks([&](SessionCallbacks& c) { c.onDisconnect = [&] { ++disconnects; }; });
  ASSERT_TRUE(rig.hello(1280, 720));
  auto provided = rig.probe([](SessionState& s) { return s.engines.providedDisplay; });
  ASSERT_TRUE(provided) << "the hello made the virtual display";
  EXPECT_FALSE(tavlo::queryOutput(*check, builtIn)->enabled()) << "isolated by the hello";

  // The engines as engine setup leaves them.
  auto sizes = std::make_shared<FrameSizes>();
  auto engine = rig.deps.engines->makeCaptureEngine([sizes](const CaptureEngine::PixelBuffer& frame, uint64_t) {
    sizes->add(frame->width(), frame->height());
  });
  engine->start(provided->displayID, 1280, 720, 30, false, false);
  ASSERT_TRUE(eventually([&] { return sizes->newest() == std::pair<int64_t, int64_t>{1280, 720}; }, 10s));
  rig.probe([&](SessionState& s) {
    s.engines.capture = engine;
    s.engines.encoder = rig.makeEncoder(1280, 720);
    s.geometry.currentPw = 1280;
    s.geometry.currentPh = 720;
  });

  rig.client.send(ResizeRequest{1, 1600, 1000, 100, 60});
  ASSERT_TRUE(rig.client.roundTrip());
  rig.scheduler().advanceBy(250'000);
  ASSERT_TRUE(rig.log.waitFor("✅ rekonfiguracja gen", 1, 20s));
  uint32_t displayID = rig.probe([](SessionState& s) { return s.engines.providedDisplay->displayID; });
  auto shown = tavlo::queryOutput(*check, displayID);
  ASSERT_TRUE(shown && shown->enabled());
  EXPECT_EQ(shown->pixelWidth, 1600u);
  EXPECT_EQ(shown->pixelHeight, 1000u);
  EXPECT_TRUE(eventually([&] { return sizes->newest() == std::pair<int64_t, int64_t>{1600, 1000}; }, 10s))
      << "capture goes on at the new size";

  rig.pair.client->close();
  ASSERT_TRUE(eventually([&] { return disconnects == 1; }, 20s));
  EXPECT_FALSE(engine->isRunning());
  EXPECT_TRUE(tavlo::queryOutput(*check, builtIn)->enabled()) << "the isolated output is back";
  EXPECT_FALSE(tavlo::queryOutput(*check, displayID)->enabled()) << "the virtual output is gone";
  EXPECT_FALSE(controller->isActive());
}

}  // namespace
}  // namespace vela
