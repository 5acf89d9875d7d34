// The diagnostics snapshot of every 60th feedback: its fields, the window counters it takes and clears,
// and its edge cases.
#include <gtest/gtest.h>

#include "hostcore/session/path_classification.hpp"
#include "platform/display/sim_window_server.hpp"
#include "tests/hostcore/session/feedback_rig.hpp"

namespace vela {
namespace {

using testkit::FeedbackRig;

struct DiagRig : FeedbackRig {
  explicit DiagRig(std::shared_ptr<tavlo::DisplaySystem> windows = nullptr) : FeedbackRig(true, std::move(windows)) {
    session->updateCallbacks([this](SessionCallbacks& c) { c.onDiagnostics = [this](const DiagSnapshot& d) { snapshots.push_back(d); }; });
  }
  // One window of feedbacks; `sent` frames of `frameBytes` each go out during it.
  void window(int sent = 0, int64_t frameBytes = 0) {
    for (int i = 0; i < 60; ++i) {
      if (i < sent) probe([&](SessionState& s) {
          s.diag.diagTxFrames += 1;
          s.diag.diagTxBytes += frameBytes;
        });
      FrameFeedback fb;
      fb.recvRateKbps = 6'000;
      fb.delaySignal = 1;
      fb.assembleDurationUs = i == 7 ? 9'000 : 3'000;
      fb.decodeDurationUs = 4'500;
      fb.nackRounds = i == 3 ? 2 : 0;
      feed(fb);
    }
  }
  std::vector<DiagSnapshot> snapshots;
};

TEST(HostSessionDiagnostics, AnIdleWindowReportsTheStreamAndNoSentVideo) {
  DiagRig rig;
  rig.probe([](SessionState& s) {
    s.geometry.ladderRungs = {1.0, 0.85, 0.7};
    s.media.clientCamCapable = false;
    s.media.clientMicCapable = true;
    s.media.mediaGateMic = true;
    s.media.audioMode = 2;
    s.diag.diagAudioBytes = 125 * 96;
    s.diag.diagMicBytes = 125 * 24 + 100;
  });
  rig.window();
  ASSERT_EQ(rig.snapshots.size(), 1u);
  const DiagSnapshot& d = rig.snapshots[0];
  EXPECT_EQ(std::pair(d.streamW, d.streamH), std::pair(int64_t{1280}, int64_t{720}));
  EXPECT_DOUBLE_EQ(d.surfaceFloor, 0.7);
  EXPECT_EQ(std::tuple(d.txKbps, d.avgFrameKB, d.bpp, d.ratio, d.sentFps), std::tuple(0, 0.0, 0.0, 0, 0));
  EXPECT_EQ(d.camDesc, "—");
  EXPECT_EQ(d.camRxKbps, 0);
  EXPECT_EQ(d.micDesc, "Opus 16k") << "the window's uplink evaluation chose the lowest rung";
  EXPECT_EQ(d.micRxKbps, 24);
  EXPECT_EQ(d.audioTxKbps, 96);
  EXPECT_EQ(d.audioDesc, "PCM 24k mono");
  EXPECT_EQ(d.fecRecoveredPct, 100) << "nothing lost, nothing recovered";
  EXPECT_EQ(d.lost60, 1) << "a frame that needed two NACK rounds";
  EXPECT_EQ(d.nack, 2);
  EXPECT_EQ(std::tuple(d.asmAvgMs, d.asmMaxMs, d.decAvgMs, d.decMaxMs), std::tuple(3, 9, 4, 4));
  EXPECT_EQ(d.rxKbps, 6'000);
  EXPECT_EQ(d.regime, "clean");
  EXPECT_EQ(d.clog, "off");
  EXPECT_EQ(d.path, classifyPath(rig.pair.host->remoteDescription())) << "the path class of the transport";
  EXPECT_EQ(d.qp, rig.encoder->currentMaxQP());
  EXPECT_DOUBLE_EQ(d.appliedMbps,
                   rig.state([](SessionState& s) { return s.adaptation.bitrateController->appliedBitrate(); }) / 1e6);
  auto counters = rig.state([](SessionState& s) { return std::tuple(s.diag.diagAudioBytes, s.diag.diagMicBytes); });
  EXPECT_EQ(counters, std::tuple(0, 0)) << "each snapshot describes its window only";
}

// The display-mode fields describe the provided display as the window system has it.
TEST(HostSessionDiagnostics, TheDisplayModeFieldsComeFromTheProvidedDisplay) {
  tavlo::FakeClock windowClock;
  auto windows = std::make_shared<tavlo::SimWindowServer>(windowClock);
  const auto id = windows->addPhysicalDisplay(2560, 1440);
  const auto mode = windows->currentMode(id);
  ASSERT_TRUE(mode);
  DiagRig rig(windows);
  rig.probe([&](SessionState& s) { s.engines.providedDisplay = ProvidedDisplay{static_cast<uint32_t>(id), 1280, 720}; });
  rig.window();
  ASSERT_EQ(rig.snapshots.size(), 1u);
  const DiagSnapshot& d = rig.snapshots[0];
  EXPECT_EQ(std::tuple(d.modePtW, d.modePtH, d.modePxW, d.modePxH),
            std::tuple(mode->width, mode->height, mode->pixelWidth, mode->pixelHeight));
  EXPECT_GT(d.modePxW, 0);
}

TEST(HostSessionDiagnostics, SentVideoGivesRatesSizesAndTheCompressionRatio) {
  DiagRig rig;
  rig.probe([](SessionState& s) {
    s.identity.clientVpn = true;
    s.media.clientCamCapable = true;
    s.media.mediaGateCam = true;
    s.media.clientMicCapable = true;
    s.media.mediaGateMic = false;
  });
  rig.window();
  rig.probe([](SessionState& s) { s.media.micQualityIdx = 1; });
  rig.window(30, 10'240);  // 30 frames of 10 KiB in one second
  ASSERT_EQ(rig.snapshots.size(), 2u);
  const DiagSnapshot& d = rig.snapshots[1];
  EXPECT_EQ(d.txKbps, 30 * 10'240 * 8 / 1000);
  EXPECT_DOUBLE_EQ(d.avgFrameKB, 10.0);
  EXPECT_DOUBLE_EQ(d.bpp, 10'240.0 * 8 / (1280 * 720));
  EXPECT_EQ(d.ratio, static_cast<int64_t>(1280.0 * 720 * 1.5 * 30 / (30 * 10'240)));
  EXPECT_EQ(d.sentFps, 30) << "30 frames over 60 feedbacks of 16.667 ms";
  EXPECT_EQ(d.path, "VPN");
  EXPECT_EQ(d.camDesc, "start…");
  EXPECT_EQ(d.micDesc, "Opus 24k") << "no owner calls the microphone unused: the evaluation switched it on";
  rig.probe([](SessionState& s) {
    s.media.camCfgW = 640;
    s.media.camCfgH = 480;
    s.media.camCfgFps = 30;
    s.media.camQualityIdx = 9;
  });
  rig.window();
  EXPECT_EQ(rig.snapshots[2].camDesc, "640×480@30 · cel 1920p 1200k") << "the rung is clamped to the ladder";
}

TEST(HostSessionDiagnostics, TheAdaptationRunsTheSameWithoutAListener) {
  // The keyframe budget floor and dynamic QP must not depend on whether a panel is open.
  auto run = [](bool listen) {
    FeedbackRig rig;
    if (listen) rig.session->updateCallbacks([](SessionCallbacks& c) { c.onDiagnostics = [](const DiagSnapshot&) {}; });
    rig.probe([](SessionState& s) { s.keyframes.lastIdrBytes = 300'000; });
    for (int i = 0; i < 600; ++i) {
      rig.probe([](SessionState& s) {
        s.diag.diagTxFrames += 1;
        s.diag.diagTxBytes += 2'000;
      });
      rig.feedClean();
    }
    return rig.state([](SessionState& s) {
      return std::tuple(s.adaptation.dynQp, s.keyframes.kfController.budgetFloorSec(), s.diag.diagTxBytes);
    });
  };
  auto withPanel = run(true);
  EXPECT_EQ(run(false), withPanel);
  EXPECT_LT(std::get<0>(withPanel), AdaptationState::defaultDynQp);
  EXPECT_GT(std::get<1>(withPanel), 0.5) << "a 300 kB keyframe raised the budget floor";
}

}  // namespace
}  // namespace vela
