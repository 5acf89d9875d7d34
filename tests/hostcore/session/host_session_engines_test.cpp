// Engine setup and the first frames over an in-memory transport with the synthetic capture and the
// fake encoder: the first control messages, warm bundles, the video configuration and the video
// datagrams of a frame.
#include <gtest/gtest.h>

#include "hostcore/engines/capture_engine.hpp"
#include "hostcore/engines/encoder_engine.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"
#include "tests/hostcore/session/streaming_session.hpp"

namespace vela {
namespace {

using testkit::eventually;
using testkit::SessionRig;

constexpr uint32_t fakeDisplayID = 1000;  // the fake provider's first display

ClientHello helloOf(uint16_t w, uint16_t h, uint32_t featureCaps = 0) {
  ClientHello hello;
  hello.platform = Platform::iPad;
  hello.deviceName = "Studio";
  hello.windowPxW = w;
  hello.windowPxH = h;
  hello.featureCaps = featureCaps;
  return hello;
}

std::vector<uint8_t> controlTypes(SessionRig& rig) {
  std::vector<uint8_t> types;
  for (const auto& sent : rig.pair.host->memoryReliable(Channel::control).sent().items()) {
    types.push_back(RawPacket::decode(sent).header.msgType);
  }
  return types;
}

// An encoder backend that runs a hook while the hello makes the session's encoder.
class HookedEncoderBackend final : public tavlo::EncoderBackend {
 public:
  HookedEncoderBackend(std::shared_ptr<tavlo::FakeEncoder> inner, std::function<void()> hook)
      : inner_(std::move(inner)), hook_(std::move(hook)) {}
  std::shared_ptr<tavlo::CompressionSession> createSession(int32_t width, int32_t height,
                                                           const tavlo::EncoderSpecification& requested) override {
    if (hook_) std::exchange(hook_, nullptr)();
    return inner_->createSession(width, height, requested);
  }

 private:
  std::shared_ptr<tavlo::FakeEncoder> inner_;
  std::function<void()> hook_;
};

// The client goes while the hello makes the engines: the session starts no capture, stops the engines it
// made and sends no video configuration.
TEST(HostSessionEngines, ASessionClosedDuringItsHelloStartsNoCaptureAndDropsItsEngines) {
  SessionRig rig;
  rig.captureBackend->setDisplays({{fakeDisplayID, 1280, 720}});
  auto backend = std::make_shared<HookedEncoderBackend>(rig.encoderBackend, [&rig] {
    rig.probe([](SessionState& s) { s.identity.disconnected = true; });
  });
  rig.deps.engines = std::make_shared<EngineFactory>(rig.captureBackend, backend, rig.clock(), rig.deps.settings);
  rig.make();
  rig.session->start();
  rig.client.send(helloOf(1280, 720));
  ASSERT_TRUE(rig.log.waitFor("sesja zamknięta w trakcie HELLO — nie startuję capture"));
  EXPECT_EQ(rig.log.count("✅ przechwytywanie wystartowało"), 0u);
  EXPECT_EQ(rig.captureBackend->runningStreamCount(), 0u);
  rig.probe([](SessionState& s) {
    EXPECT_FALSE(s.engines.encoder) << "the engines made for the gone client are not kept";
    EXPECT_FALSE(s.engines.capture);
    EXPECT_FALSE(s.adaptation.bitrateController);
  });
  for (uint8_t type : controlTypes(rig)) EXPECT_NE(type, ControlType::videoConfig);
}

// A keyframe coded while the session has no display cannot be described: no video configuration goes out
// and none counts as sent, so the first keyframe once the display is back carries it.
TEST(HostSessionEngines, NoVideoConfigurationGoesOutWithoutADisplayAndTheNextKeyframeCarriesIt) {
  SessionRig rig;
  rig.make();
  testkit::makeStreaming(rig, {.configSent = false});
  std::optional<ProvidedDisplay> display;
  rig.probe([&](SessionState& s) { display = std::exchange(s.engines.providedDisplay, std::nullopt); });
  ASSERT_TRUE(display);
  EncodedFrame keyframe;
  keyframe.isKeyframe = true;
  keyframe.avcc = tavlo::Bytes(2'000, 0x5A);
  keyframe.parameterSets = HEVCParameterSets{{tavlo::Bytes{0x40, 0x01, 0x0C}, tavlo::Bytes{0x42, 0x01, 0x01},
                                              tavlo::Bytes{0x44, 0x01, 0xC1}}};
  HostSessionProbe::handleEncoded(*rig.session, keyframe);
  EXPECT_FALSE(rig.probe([](SessionState& s) { return s.send.configSent; }));
  EXPECT_EQ(rig.log.count("VIDEO_CONFIG wysłany"), 0u);

  rig.probe([&](SessionState& s) { s.engines.providedDisplay = display; });
  keyframe.frameId = 1;
  HostSessionProbe::handleEncoded(*rig.session, keyframe);
  EXPECT_TRUE(rig.probe([](SessionState& s) { return s.send.configSent; }));
  EXPECT_EQ(rig.log.count("VIDEO_CONFIG wysłany (gen 1, 1280×720)"), 1u);
  size_t configs = 0;
  for (uint8_t type : controlTypes(rig)) configs += type == ControlType::videoConfig ? 1 : 0;
  EXPECT_EQ(configs, 1u);
}

TEST(HostSessionEngines, SetupStartsCaptureAndSendsTheFirstControlMessagesInOrder) {
  SessionRig rig;
  rig.captureBackend->setDisplays({{fakeDisplayID, 1280, 720}});
  rig.deps.rungMemory->remember(RungMemory::Device::microphone, "iPad-Studio#255", 3);
  rig.make();
  rig.session->updateCallbacks([](SessionCallbacks& c) { c.isCamConsumed = [] { return false; }; });
  rig.session->start();
  rig.client.send(helloOf(1280, 720, FeatureCaps::micStream | FeatureCaps::camStream));
  ASSERT_TRUE(rig.client.roundTrip());
  ASSERT_TRUE(rig.log.waitFor("✅ przechwytywanie wystartowało (60 fps)"));
  EXPECT_EQ(controlTypes(rig),
            (std::vector<uint8_t>{ControlType::hostHello, ControlType::streamBuffer, ControlType::micControl,
                                  ControlType::micQuality, ControlType::camControl, ControlType::pong}));
  rig.probe([](SessionState& s) {
    EXPECT_TRUE(s.engines.encoder);
    EXPECT_EQ(s.engines.encoder->width(), 1280);
    EXPECT_EQ(s.media.micQualityIdx, 2) << "a rung below the remembered 3";
    EXPECT_EQ(s.media.camQualityIdx, -1) << "nobody consumes the camera";
    EXPECT_TRUE(s.adaptation.bitrateController);
    EXPECT_EQ(s.warm.warmPxW, 1280);
    EXPECT_EQ(s.warm.warmDisplayID, fakeDisplayID);
  });
  EXPECT_EQ(rig.captureBackend->runningStreamCount(), 1u);
}

// x265 has no long-term references: the encoder line then says LTR is off instead of promising it
// right after "LTR niedostępny".
TEST(HostSessionEngines, TheEncoderLineNamesLtrOffWhenTheEncoderRefusesIt) {
  SessionRig rig;
  tavlo::FakeEncoder::Options options;
  options.longTermReferences = false;
  rig.useEncoderBackend(std::make_shared<tavlo::FakeEncoder>(options));
  rig.captureBackend->setDisplays({{fakeDisplayID, 1280, 720}});
  rig.make();
  rig.session->start();
  rig.client.send(helloOf(1280, 720));
  ASSERT_TRUE(rig.client.roundTrip());
  ASSERT_TRUE(rig.log.waitFor("⚠️ LTR niedostępny — fallback IDR"));
  ASSERT_TRUE(rig.log.waitFor("📐 enkoder 1280×720 @60fps HEVC Main — LLRC=TAK ✅ (synchr, LTR wyłączony, równa latencja)"));
}

TEST(HostSessionEngines, ACompatibleWarmBundleIsAdoptedAndAnotherIsStopped) {
  for (bool compatible : {true, false}) {
    SCOPED_TRACE(compatible);
    SessionRig rig;
    rig.captureBackend->setDisplays({{fakeDisplayID, 1280, 720}, {7, 1280, 720}});
    const uint32_t bundleDisplay = compatible ? fakeDisplayID : 7;
    auto capture = rig.deps.engines->makeCaptureEngine([](const auto&, uint64_t) {});
    capture->start(bundleDisplay, 1280, 720, 60, false, false);
    auto encoder = rig.makeEncoder(1280, 720);
    rig.make();
    rig.session->setPendingWarmBundle(WarmEngineBundle{capture, encoder, 1280, 720, 60, bundleDisplay});
    rig.session->start();
    rig.client.send(helloOf(1280, 720));
    ASSERT_TRUE(rig.client.roundTrip());
    auto adopted = rig.probe([](SessionState& s) { return s.engines.encoder; });
    if (compatible) {
      EXPECT_EQ(adopted, encoder);
      EXPECT_TRUE(capture->isRunning());
      EXPECT_TRUE(rig.log.waitFor("♨️ SCK już działa (warm resume) — bez restartu przechwytywania"));
      EXPECT_TRUE(rig.probe([](SessionState& s) { return s.keyframes.forceKeyframeNext; }));
      EXPECT_EQ(rig.captureBackend->streams().size(), 1u) << "no second capture";
    } else {
      EXPECT_NE(adopted, encoder);
      EXPECT_FALSE(capture->isRunning());
      EXPECT_FALSE(encoder->hasCompressionSession());
      EXPECT_TRUE(rig.log.waitFor("🅿️ warm bundle niekompatybilny (1280×720@60/did7 vs 1280×720@60/did1000)"));
    }
  }
}

TEST(HostSessionEngines, ASeedFromAWanLinkCapsTheFirstKeyframeUntilTheBackstop) {
  SessionRig rig;
  rig.captureBackend->setDisplays({{fakeDisplayID, 1280, 720}});
  rig.make();
  rig.session->updateCallbacks([](SessionCallbacks& c) {
    c.linkSeedForDevice = [](const std::string&) { return std::optional<LinkSeed>(LinkSeed{3'000'000, false, true, 0, false}); };
  });
  rig.session->start();
  rig.client.send(helloOf(1280, 720));
  ASSERT_TRUE(rig.client.roundTrip());
  EXPECT_TRUE(rig.log.waitFor("🎯 cap startowego keyframe'a: podłoga QP 38 do 1. feedbacku (WAN z pamięci łącza)"));
  EXPECT_TRUE(rig.probe([](SessionState& s) { return s.keyframes.bootstrapMinQPActive && s.adaptation.bitrateController->plateau; }));
  rig.scheduler().advanceBy(3'000'000);
  EXPECT_TRUE(rig.log.waitFor("🎯 cap startowego keyframe'a zdjęty (backstop 3 s)"));
  EXPECT_FALSE(rig.probe([](SessionState& s) { return s.keyframes.bootstrapMinQPActive; }));
}

TEST(HostSessionEngines, TheFirstKeyframeBringsOneVideoConfigAndItsChunksAndParity) {
  SessionRig rig;
  rig.captureBackend->setDisplays({{fakeDisplayID, 640, 480}});
  rig.clock().setAdvanceOnWait(true);  // pacing sleeps on the session clock
  rig.started();
  rig.client.send(helloOf(640, 480));
  ASSERT_TRUE(rig.client.roundTrip());
  ASSERT_EQ(rig.captureBackend->emitFrames(1), 1u);
  ASSERT_TRUE(eventually([&] { return rig.probe([](SessionState& s) { return s.send.framesSent; }) == 1; }));
  ASSERT_EQ(rig.captureBackend->emitFrames(1), 1u);  // the decimator lets every frame through at 60 fps
  ASSERT_TRUE(eventually([&] { return rig.probe([](SessionState& s) { return s.send.framesSent; }) == 2; }));

  int configs = 0;
  for (const auto& sent : rig.pair.host->memoryReliable(Channel::control).sent().items()) {
    auto raw = RawPacket::decode(sent);
    if (raw.header.msgType != ControlType::videoConfig) continue;
    ++configs;
    auto config = raw.decodePayload<VideoConfig>();
    EXPECT_EQ(config.codedPxW, 640);
    EXPECT_EQ(config.pointsW, 320);
    EXPECT_FALSE(config.hvcc.empty());
  }
  EXPECT_EQ(configs, 1) << "the second frame brings none";
  int chunks = 0, parity = 0;
  uint32_t expectSeq = 0;
  for (const auto& sent : rig.pair.host->memoryFlow(Channel::video).sent().items()) {
    auto raw = RawPacket::decode(sent);
    EXPECT_EQ(raw.header.seq, expectSeq++) << "one sequence for chunks and parity";
    EXPECT_NE(raw.header.sessionId, 0u);
    chunks += raw.header.msgType == VideoType::chunk;
    parity += raw.header.msgType == VideoType::parity;
  }
  EXPECT_EQ(chunks, 31 + 4) << "a 40,000-byte keyframe and a 4,000-byte frame";
  EXPECT_EQ(parity, 2) << "a clean keyframe gets two groups, a small P-frame none";
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.keyframes.lastIdrFrameId; }), 0u);
}

// Back-pressure on the encoder: a software encoder codes one frame at a time, so a frame is admitted
// only while it holds fewer than two (a third would only wait longer); a hardware encoder pipelines
// and may hold up to five. The first frame is a forced keyframe and always admitted.
TEST(HostSessionEngines, ASoftwareEncoderHoldsTwoFramesAndAHardwareOneFive) {
  for (const bool hardware : {false, true}) {
    SCOPED_TRACE(hardware ? "hardware" : "software");
    SessionRig rig;
    tavlo::FakeEncoder::Options options;
    options.hardwareEncoder = hardware;
    options.manualCompletion = true;
    auto encoder = std::make_shared<tavlo::FakeEncoder>(options);
    rig.useEncoderBackend(encoder);
    rig.captureBackend->setDisplays({{fakeDisplayID, 640, 480}});
    rig.clock().setAdvanceOnWait(true);
    rig.started();
    rig.client.send(helloOf(640, 480));
    ASSERT_TRUE(rig.client.roundTrip());
    for (int i = 0; i < 7; ++i) {
      ASSERT_EQ(rig.captureBackend->emitFrames(1), 1u);
      ASSERT_TRUE(eventually([&] { return rig.probe([](SessionState& s) { return s.send.encodePending; }) == 0; }));
    }
    const size_t held = hardware ? 5 : 2;
    auto session = encoder->lastSession();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->waitingFrames(), held);
    EXPECT_EQ(rig.probe([](SessionState& s) { return s.send.encodeDropped; }), int64_t(7 - held));
    session->completeFrames();
    session->flush();
  }
}

// The session's timer learns of a keyframe when it is sent; a keyframe the encoder makes on its own is
// still being coded when the timer falls due a frame later. The timer must not force a second keyframe
// right behind it: at 60 fps with a 2 s interval, 150 frames carry the first keyframe and one more.
TEST(HostSessionEngines, TheEncodersOwnKeyframeIsNotDoubledByTheSessionsTimer) {
  SessionRig rig;
  tavlo::FakeEncoder::Options options;
  options.manualCompletion = true;
  auto encoder = std::make_shared<tavlo::FakeEncoder>(options);
  rig.useEncoderBackend(encoder);
  rig.captureBackend->setDisplays({{fakeDisplayID, 640, 480}});
  SessionConfig config = rig.config();
  config.keyframeAdaptive = false;
  rig.clock().setAdvanceOnWait(true);  // the send path paces on the clock
  rig.started(std::move(config));
  rig.client.send(helloOf(640, 480));
  ASSERT_TRUE(rig.client.roundTrip());
  rig.session->setKeyframePolicy(false, 2.0);
  auto session = encoder->lastSession();
  ASSERT_TRUE(session);
  // Each frame is coded while the next is captured, as a software encoder at full rate does.
  for (int i = 0; i < 150; ++i) {
    rig.clock().advanceUs(16'667);
    ASSERT_EQ(rig.captureBackend->emitFrames(1), 1u);
    ASSERT_TRUE(eventually([&] { return rig.probe([](SessionState& s) { return s.send.encodePending; }) == 0; }));
    if (session->waitingFrames() > 1) session->completeFrames(session->waitingFrames() - 1);
    session->flush();
  }
  session->completeFrames();
  session->flush();
  const auto encoded = session->encoded();
  EXPECT_GE(encoded.size(), 140u);
  std::vector<size_t> keyframes;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i].keyframe) keyframes.push_back(i);
  }
  ASSERT_EQ(keyframes.size(), 2u) << ::testing::PrintToString(keyframes);
  EXPECT_EQ(keyframes[0], 0u);
  EXPECT_NEAR(double(keyframes[1]), 120.0, 2.0);
}

}  // namespace
}  // namespace vela
