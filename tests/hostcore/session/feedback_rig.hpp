#pragma once
// A session ready for frame feedback: the real controllers (bitrate controller of engine setup, link
// estimator, fluidity governor, keyframe-interval controller), an encoder engine on the fake encoder
// whose compression session records what the adaptation set, a 1280×720 stream at 60 fps, and a
// FakeClock that moves one frame interval per feedback.
#include <memory>

#include "hostcore/engines/encoder_engine.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela::testkit {

struct FeedbackRig : SessionRig {
  static constexpr int64_t startBps = 8'000'000;
  static constexpr int64_t floorBps = 1'000'000;
  static constexpr uint64_t frameUs = 16'667;

  explicit FeedbackRig(bool adaptiveKeyframes = true, std::shared_ptr<tavlo::DisplaySystem> windows = nullptr) {
    deps.windowSystem = std::move(windows);
    SessionConfig c = config();
    c.keyframeAdaptive = adaptiveKeyframes;
    c.keyframeFixedSec = 2.0;
    make(std::move(c));
    encoder = makeEncoder(1280, 720);
    probe([&](SessionState& s) {
      s.engines.encoder = encoder;
      s.geometry.currentPw = 1280;
      s.geometry.currentPh = 720;
      s.adaptation.bitrateController = std::make_unique<BitrateController>(
          1280, 720, 60, startBps, floorBps, std::nullopt, BitrateController::Tunables{});
      s.adaptation.bitrateController->plateau = true;
    });
  }

  // One feedback for the next frame id, after one frame interval.
  void feed(FrameFeedback fb) {
    clock().advanceUs(frameUs);
    fb.frameId = nextFrameId++;
    session->applyFeedback(fb);
  }
  void feedClean(uint32_t rxKbps = 6'000, uint8_t delaySignal = 1) {
    FrameFeedback fb;
    fb.assembleDurationUs = 2'000;
    fb.decodeDurationUs = 4'000;
    fb.delaySignal = delaySignal;
    fb.recvRateKbps = rxKbps;
    feed(fb);
  }
  tavlo::FakeCompressionSession::Properties encoderProperties() { return encoderBackend->lastSession()->properties(); }
  template <class F>
  auto state(F&& read) {
    return probe([&](SessionState& s) { return read(s); });
  }

  std::shared_ptr<EncoderEngine> encoder;
  uint32_t nextFrameId = 1000;
};

}  // namespace vela::testkit
