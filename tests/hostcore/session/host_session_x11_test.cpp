// A streaming session on a private dummy Xorg, with the real virtual-display controller and the Xorg
// capture: a client's resize re-modes the virtual output and capture goes on at the new size; the
// client's departure destroys the virtual output and switches the isolated outputs back on; a client
// taking over keeps the virtual output live, at the origin, with the built-in output off, when the
// displaced session ends after the new hello. Each step is checked with RandR queries of a connection of
// the test's own.
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

// A private dummy Xorg, a connection of the test's own to check it, its built-in output (on), and a
// session rig whose display, capture and window system are the real ones on that server; `config`
// carries the real virtual-display controller.
class SessionOnXorg : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.failureText();
    std::string error;
    check = tavlo::XcbConnection::open(server.display(), &error);
    ASSERT_NE(check, nullptr) << error;
    const auto outputs = tavlo::queryOutputs(*check);
    ASSERT_FALSE(outputs.empty());
    builtIn = outputs[0].outputId;
    ASSERT_TRUE(outputs[0].enabled());

    system = tavlo::XorgDisplaySystem::open(server.display(), &error);
    ASSERT_NE(system, nullptr) << error;
    controller = std::make_shared<tavlo::VirtualDisplayController>(system, rig.settings());
    auto capture = std::make_shared<tavlo::X11Capture>(tavlo::X11Capture::Options{server.display(), nullptr, 2});
    rig.deps.engines = std::make_shared<EngineFactory>(capture, rig.encoderBackend, rig.clock(), rig.deps.settings);
    rig.deps.windowSystem = system;
    config = rig.config();
    config.display = controller;
  }

  tavlo::testkit::XorgServer server;
  std::unique_ptr<tavlo::XcbConnection> check;
  uint32_t builtIn = 0;
  std::shared_ptr<tavlo::XorgDisplaySystem> system;
  testkit::SessionRig rig;
  std::shared_ptr<tavlo::VirtualDisplayController> controller;
  SessionConfig config;
};

TEST_F(SessionOnXorg, AResizeReModesTheOutputAndCaptureFollowsThenTeardownRestoresTheOutputs) {
  rig.started(config);
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

TEST_F(SessionOnXorg, ATakeoverKeepsTheVirtualOutputLiveAndMainWhenTheDisplacedSessionEndsAfterTheNewHello) {
  rig.started(config);
  std::atomic<int> oldEnded{0};
  rig.session->updateCallbacks([&](SessionCallbacks& c) { c.onDisconnect = [&] { ++oldEnded; }; });
  ASSERT_TRUE(rig.hello(1280, 720));
  ASSERT_FALSE(tavlo::queryOutput(*check, builtIn)->enabled()) << "isolated by the first hello";

  // Another device's hello is admitted; the displaced session gets its goodbye and ends only afterwards.
  testkit::SecondSession next(rig, config);
  std::shared_ptr<HostSession> old = rig.session;
  next.session->updateCallbacks([old](SessionCallbacks& c) {
    c.takeoverGate = [old](const std::string&, bool) {
      old->sendBye();
      return true;
    };
  });
  next.session->start();
  ClientHello hello;
  hello.platform = Platform::iPad;
  hello.deviceName = "Atelier";
  hello.deviceId = "ipad-two";
  hello.windowPxW = 1180;
  hello.windowPxH = 820;
  hello.userInitiated = true;
  next.client.send(hello);
  ASSERT_TRUE(next.client.roundTrip());
  auto provided = next.provided();
  ASSERT_TRUE(provided) << "the new hello was accepted";
  old->cancelTransportNow();
  old->close();
  ASSERT_TRUE(eventually([&] { return oldEnded == 1; }, 20s));

  auto shown = tavlo::queryOutput(*check, provided->displayID);
  ASSERT_TRUE(shown && shown->enabled()) << "the virtual output is live";
  EXPECT_EQ(shown->pixelWidth, 1180u);
  EXPECT_EQ(shown->pixelHeight, 820u);
  EXPECT_EQ(system->mainDisplay(), provided->displayID) << "and main";
  EXPECT_FALSE(tavlo::queryOutput(*check, builtIn)->enabled()) << "the built-in output stays off";
  EXPECT_TRUE(controller->isActive());
}

}  // namespace
}  // namespace vela
