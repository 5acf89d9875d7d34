// Stream geometry on a streaming session: the learnt budget written back for the next session, the
// ladder's step reaching the encoder through a reconfiguration, resizes that arrive while one runs, the
// stream scale's bounds and the HQ switch's capture size.
#include <gtest/gtest.h>

#include "platform/display/sim_window_server.hpp"
#include "tests/hostcore/session/streaming_session.hpp"

namespace vela {
namespace {

using testkit::eventually;
using testkit::makeStreaming;
using testkit::SessionRig;

constexpr uint64_t ms = 1'000;

testkit::StreamingEngines streaming(SessionRig& rig) {
  rig.started();
  EXPECT_TRUE(rig.hello());
  auto engines = makeStreaming(rig);
  rig.probe([](SessionState& s) { s.geometry.ladderInitDone = true; });  // the hello started the ladder
  return engines;
}

// Advances the timers until the reconfiguration task has finished, with the client active meanwhile
// (the reaper that engine setup started must not end the session while the test moves the clock).
void finishReconfiguration(SessionRig& rig) {
  ASSERT_TRUE(eventually([&] {
    rig.probe([&](SessionState& s) { s.identity.lastClientPacketUs = rig.clock().nowUs(); });
    rig.scheduler().advanceBy(10 * ms);
    return !rig.probe([](SessionState& s) { return s.geometry.isReconfiguring; });
  }));
}

TEST(StreamGeometry, TheLearntBudgetIsWrittenBackForTheNextSession) {
  SessionRig rig;
  auto engines = streaming(rig);
  auto frame = tavlo::Nv12Buffer::make(1280, 720);
  auto encodeSome = [&] {
    for (int i = 0; i < 30; ++i) engines.encoder->encode(frame, rig.clock().nowUs(), false, false, {});
    ASSERT_TRUE(eventually([&] { return engines.encoder->framesInFlight() == 0; }));
  };
  encodeSome();
  rig.session->updateEncoderCapacity(60);  // the first drain only starts the window
  EXPECT_FALSE(rig.settings().contains("tl.encBudgetPxFps"));
  encodeSome();
  rig.clock().advanceUs(1'000 * ms);
  rig.session->updateEncoderCapacity(60);
  EXPECT_EQ(rig.settings().getDouble("tl.encBudgetPxFps"), 4.6e8);
  EXPECT_EQ(rig.log.count("📏 pojemność enkodera: bez nasycenia"), 1u);
}

TEST(StreamGeometry, FiveSecondsOfEncoderPressureShrinkTheStreamButNotTheDisplay) {
  SessionRig rig;
  streaming(rig);
  rig.probe([](SessionState& s) {
    s.geometry.lastFullStreamArea = 1280 * 720;
    s.geometry.ladderRungs = {1.0, 0.75, 0.667, 0.5};
    s.geometry.encBudgetPxFps = 1e7;  // 10 fps at the full surface
  });
  for (int second = 0; second < 5; ++second) rig.session->updateSurfaceLadder();
  EXPECT_TRUE(rig.log.waitFor("🎚️ skala strumienia → 0.75 (ekran bez zmian, klatki mniejsze)"));
  rig.scheduler().advanceBy(250 * ms);
  finishReconfiguration(rig);
  EXPECT_TRUE(rig.log.waitFor("✅ rekonfiguracja gen"));
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.geometry.currentPw; }), 960);
  EXPECT_EQ(rig.display->mode(), (std::pair<int64_t, int64_t>{1280, 720})) << "the display keeps its mode";

  rig.session->applyStreamScale(0.7505);
  rig.session->applyStreamScale(0.2);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.geometry.streamScaleActive; }), 0.5)
      << "within 0.001 nothing; below 0.5 clamped";
}

TEST(StreamGeometry, AResizeDuringAReconfigurationIsPickedUpByTheRunningTask) {
  SessionRig rig;
  streaming(rig);
  ASSERT_TRUE(rig.deps.displayGate->tryTake());  // holds the first rebuild at the gate
  rig.client.send(ResizeRequest{1, 1920, 1080, 100, 60});
  ASSERT_TRUE(rig.client.roundTrip());
  rig.scheduler().advanceBy(250 * ms);
  ASSERT_TRUE(rig.log.waitFor("resize → capture 1920×1080"));
  rig.client.send(ResizeRequest{2, 1600, 1000, 100, 60});
  ASSERT_TRUE(rig.client.roundTrip());
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.geometry.pendingResizePw; }), 1600);
  rig.deps.displayGate->release();
  finishReconfiguration(rig);
  EXPECT_EQ(rig.log.count("resize → capture"), 2u) << "one task, two rebuilds";
  EXPECT_TRUE(rig.log.waitFor("✅ rekonfiguracja gen 3: 1600×1000"));
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.geometry.currentPw; }), 1600);
}

// A resize that arrives before the hello finds no display to rebuild: the task ends at its first step
// rather than re-arming itself forever.
TEST(StreamGeometry, AResizeBeforeTheHelloDoesNotKeepATaskRunning) {
  SessionRig rig;
  rig.started();
  rig.client.send(ResizeRequest{1, 1920, 1080, 100, 60});
  ASSERT_TRUE(rig.client.roundTrip());
  ASSERT_TRUE(rig.probe([](SessionState& s) { return s.geometry.isReconfiguring; }));
  rig.scheduler().advanceBy(250 * ms);  // the first step only: no timer moves after it
  EXPECT_TRUE(eventually([&] { return !rig.probe([](SessionState& s) { return s.geometry.isReconfiguring; }); }));
  EXPECT_FALSE(rig.probe([](SessionState& s) { return s.identity.disconnected; }));
  EXPECT_EQ(rig.log.count("resize → capture"), 0u);
}

// The client's decode limit holds for a resize after the hello, not only for the hello's own size.
TEST(StreamGeometry, AResizeAfterTheHelloKeepsInsideTheClientsDecodeLimit) {
  SessionRig rig;
  rig.started();
  ClientHello hello;
  hello.platform = Platform::iPad;
  hello.deviceName = "Studio";
  hello.windowPxW = 1280;
  hello.windowPxH = 720;
  hello.maxDecodePxW = 1280;
  hello.maxDecodePxH = 720;
  rig.client.send(hello);
  ASSERT_TRUE(rig.client.roundTrip());
  makeStreaming(rig);
  rig.probe([](SessionState& s) { s.geometry.ladderInitDone = true; });
  rig.client.send(ResizeRequest{1, 2560, 1440, 100, 60});
  ASSERT_TRUE(rig.client.roundTrip());
  EXPECT_EQ(rig.probe([](SessionState& s) { return std::pair(s.geometry.pendingResizePw, s.geometry.pendingResizePh); }),
            (std::pair<int64_t, int64_t>{1280, 720}));
  finishReconfiguration(rig);
  EXPECT_LE(rig.probe([](SessionState& s) { return s.geometry.currentPw; }), 1280);
  EXPECT_LE(rig.probe([](SessionState& s) { return s.geometry.currentPh; }), 720);
}

TEST(StreamGeometry, TheHqSwitchCapturesTheFullBackingOnlyWhenItIsClearlyLarger) {
  SessionRig rig;
  auto engines = streaming(rig);
  rig.probe([](SessionState& s) {
    // As a re-mode to the scale would leave the display.
    s.geometry.scaleS = 2.0;
    s.geometry.displayPixelW = 2560;
    s.geometry.displayPixelH = 1440;
  });
  rig.session->setHQDownscale(false);
  ASSERT_TRUE(rig.log.waitFor("🔬 HQ downscale OFF (skaler SCK)"));
  EXPECT_EQ(engines.capture->currentConfiguration().w, 1280);
  rig.session->setHQDownscale(true);
  ASSERT_TRUE(rig.log.waitFor("🔬 HQ downscale ON (Average, capture pełne backing)"));
  EXPECT_EQ(engines.capture->currentConfiguration().w, 2560);
  EXPECT_EQ(engines.capture->currentConfiguration().h, 1440);
  rig.session->setHQDownscale(true);
  EXPECT_EQ(rig.log.count("🔬"), 2u) << "no change, no task";
}

// A client's window (and so the full backing it asks for) may be far larger than the display the
// host could make: capture never asks for more pixels than the display has, at the hello and at a
// rebuild after a resize.
TEST(StreamGeometry, TheFullBackingCaptureNeverExceedsTheDisplaysLiveMode) {
  tavlo::FakeClock windowClock;
  auto windows = std::make_shared<tavlo::SimWindowServer>(windowClock);
  const auto id = static_cast<uint32_t>(windows->addPhysicalDisplay(2560, 1440));
  SessionRig rig;
  rig.deps.windowSystem = windows;
  rig.display = std::make_shared<testkit::FakeDisplayProvider>(id);
  rig.captureBackend->setDisplays({{id, 2560, 1440}});
  rig.started();
  rig.probe([](SessionState& s) { s.geometry.scaleS = 2.0; });
  ASSERT_TRUE(rig.hello(8192, 4608));  // a backing of 16384×9216 asked for
  auto captureSize = [&] {
    return rig.probe([](SessionState& s) {
      auto configuration = s.engines.capture->currentConfiguration();
      return std::pair<int64_t, int64_t>(configuration.w, configuration.h);
    });
  };
  ASSERT_TRUE(rig.probe([](SessionState& s) { return s.engines.capture != nullptr; }));
  EXPECT_EQ(captureSize(), (std::pair<int64_t, int64_t>{2560, 1440}));
  rig.probe([](SessionState& s) { s.geometry.ladderInitDone = true; });

  rig.client.send(ResizeRequest{1, 8000, 4500, 100, 60});
  ASSERT_TRUE(rig.client.roundTrip());
  finishReconfiguration(rig);
  ASSERT_TRUE(rig.log.waitFor("resize → capture"));
  auto [w, h] = captureSize();
  EXPECT_LE(w, 2560);
  EXPECT_LE(h, 1440);
  EXPECT_GT(w, 0);
}

}  // namespace
}  // namespace vela
