// Camera, microphone and stream-buffer control through a session, read by the client off the control
// channel: the quality ladders, the first device state with its remembered rungs and consumption gates,
// the uplink evaluation, the rate cap, text focus and clipboard announcements.
#include <gtest/gtest.h>

#include "hostcore/engines/input_injector.hpp"
#include "protocol/camera_mic_messages.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

constexpr uint32_t kSessionId = 0xCA11;
const std::string kDeviceKey = "iPad-Studio#1";

struct ControlRig : testkit::SessionRig {
  explicit ControlRig(bool answered = true) {
    deps.displayBounds = [](uint32_t) { return std::optional<tavlo::ScreenRect>({0, 0, 1000, 500}); };
    make();
    probe([&](SessionState& s) {
      if (answered) s.identity.sessionId = kSessionId;
      s.identity.linkDeviceKey = kDeviceKey;
      s.engines.providedDisplay = ProvidedDisplay{7, 2000, 1000};
    });
  }
  // The next control packet, which must be a T.
  template <WirePayload T>
  T next() {
    auto record = client.next<T>();
    EXPECT_TRUE(record) << "expected message type " << int(T::msgType);
    return record.value_or(T{});
  }
  bool nothingMore() { return !pair.client->control().incoming().tryReceive(); }
};

TEST(HostSessionCameraMic, QualityLevelsAreClampedIntoTheLaddersAndRememberedAsGiven) {
  ControlRig rig;
  rig.session->sendCamQuality(9);
  rig.session->sendMicQuality(-2);
  auto cam = rig.next<CamQuality>();
  EXPECT_EQ(cam.maxWidth, 1920);
  EXPECT_EQ(cam.fps, 30);
  EXPECT_EQ(cam.bitrateKbps, 1200u);
  EXPECT_EQ(rig.next<MicQuality>().bitrateKbps, 16u);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.media.lastCamQualityIdx; }), 9);
  EXPECT_EQ(rig.log.count("📷 CAM_QUALITY → 1920p@30 1200k"), 1u);
  EXPECT_EQ(rig.log.count("🎙 MIC_QUALITY → 16k"), 1u);
}

TEST(HostSessionCameraMic, FirstDeviceStateStartsBelowTheRememberedRungAndHonoursConsumers) {
  ControlRig rig;
  rig.deps.rungMemory->remember(RungMemory::Device::camera, kDeviceKey, 4);
  rig.probe([](SessionState& s) {
    s.media.clientMicCapable = true;
    s.media.clientCamCapable = true;
  });
  rig.session->setStreamBufferMs(70'000);  // the owner's setting: stored now, sent with the device state
  rig.session->updateCallbacks([](SessionCallbacks& c) { c.isMicConsumed = [] { return false; }; });
  rig.session->sendInitialDeviceState();

  EXPECT_EQ(rig.next<StreamBuffer>().budgetMs, 65'535);
  EXPECT_EQ(rig.log.count("🧊 STREAM_BUFFER → 70000 ms"), 1u);
  EXPECT_FALSE(rig.next<MicControl>().enabled);     // nobody uses the virtual microphone: no MicQuality
  EXPECT_TRUE(rig.next<CamControl>().enabled);      // no camera callback: wanted
  EXPECT_EQ(rig.next<CamQuality>().maxWidth, 640);  // rung 3, one below the remembered 4
  EXPECT_TRUE(rig.nothingMore());
  rig.probe([](SessionState& s) {
    EXPECT_EQ(s.media.micQualityIdx, -1);
    EXPECT_FALSE(s.media.mediaGateMic);
    EXPECT_EQ(s.media.camQualityIdx, 3);
    EXPECT_TRUE(s.media.mediaGateCam);
  });
}

TEST(HostSessionCameraMic, UplinkEvaluationTogglesDevicesAndRemembersTheirRungs) {
  ControlRig rig;
  bool micUsed = false;
  rig.session->updateCallbacks([&](SessionCallbacks& c) { c.isMicConsumed = [&] { return micUsed; }; });
  rig.probe([](SessionState& s) { s.media.clientMicCapable = true; });
  rig.session->evaluateUplinks();
  EXPECT_TRUE(rig.nothingMore());  // not wanted and already off

  micUsed = true;
  rig.session->evaluateUplinks();
  EXPECT_TRUE(rig.next<MicControl>().enabled);
  EXPECT_EQ(rig.next<MicQuality>().bitrateKbps, 16u);
  EXPECT_EQ(rig.deps.rungMemory->rung(RungMemory::Device::microphone, kDeviceKey), 0);

  for (int window = 0; window < 5; ++window) {
    rig.probe([](SessionState& s) { s.media.micUpPackets = 50; });
    rig.clock().advanceUs(1'000'000);
    rig.session->evaluateUplinks();
  }
  EXPECT_EQ(rig.next<MicQuality>().bitrateKbps, 24u);
  EXPECT_EQ(rig.deps.rungMemory->rung(RungMemory::Device::microphone, kDeviceKey), 1);

  micUsed = false;
  rig.session->evaluateUplinks();
  EXPECT_FALSE(rig.next<MicControl>().enabled);
  EXPECT_TRUE(rig.nothingMore());
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.media.micQualityIdx; }), 1);
}

TEST(HostSessionCameraMic, WireCapBelowOneHundredKilobitsRemovesTheCap) {
  ControlRig rig;
  rig.session->setWireCap(500);  // without a controller only the line
  EXPECT_EQ(rig.log.count("🚧 maksymalne pasmo → 500k"), 1u);
  rig.probe([&](SessionState& s) {
    s.adaptation.bitrateController =
        std::make_unique<BitrateController>(1280, 720, 60, 8'000'000, 800'000, std::nullopt, rig.settings());
  });
  rig.session->setWireCap(100);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.adaptation.bitrateController->ceilingBps(); }), 100'000);
  rig.session->setWireCap(99);
  EXPECT_FALSE(rig.probe([](SessionState& s) { return s.adaptation.bitrateController->hasUserCap(); }));
  EXPECT_EQ(rig.log.count("🚧 maksymalne pasmo → bez limitu"), 1u);
}

TEST(HostSessionCameraMic, TextFocusIsNormalisedToTheDisplayAndSentWithoutARectOffIt) {
  ControlRig rig;
  rig.session->sendTextFocus(true, tavlo::ScreenRect{250, 125, 500, 600});
  auto inside = rig.next<TextFocusMessage>();
  EXPECT_TRUE(inside.active);
  EXPECT_TRUE(inside.hasRect);
  EXPECT_EQ(inside.xNorm, 16383);  // 0.25 × 65,535, truncated
  EXPECT_EQ(inside.yNorm, 16383);
  EXPECT_EQ(inside.wNorm, 32767);
  EXPECT_EQ(inside.hNorm, 65535);  // taller than the display: full scale

  rig.session->sendTextFocus(true, tavlo::ScreenRect{1200, 0, 100, 20});
  auto outside = rig.next<TextFocusMessage>();
  EXPECT_TRUE(outside.active);
  EXPECT_FALSE(outside.hasRect);
  rig.session->sendTextFocus(false, tavlo::ScreenRect{250, 125, 500, 100});
  EXPECT_FALSE(rig.next<TextFocusMessage>().hasRect);  // an inactive field carries no rectangle
}

TEST(HostSessionCameraMic, FocusBeforeTheHelloWaitsForEngineSetupAndDuringADragForTheRelease) {
  ControlRig rig(false);
  rig.session->sendTextFocus(true, std::nullopt);
  EXPECT_TRUE(rig.nothingMore());
  rig.probe([](SessionState& s) { s.identity.sessionId = kSessionId; });
  rig.session->replayInitialFocus();
  EXPECT_TRUE(rig.next<TextFocusMessage>().active);
  EXPECT_EQ(rig.log.count("⌨️ stan początkowy fokusu WYSŁANY po HELLO → TEXT_FOCUS(on)"), 1u);

  auto injector = rig.deps.injectors();
  injector->setDisplay(7, 0, 0);
  injector->inject(InputEvent(PointerButton{0, true, 1, 100, 100, 1, 0, {}}));
  rig.probe([&](SessionState& s) { s.engines.injector = injector; });
  rig.session->sendTextFocus(false, std::nullopt);
  EXPECT_TRUE(rig.nothingMore());
  EXPECT_TRUE(rig.probe([](SessionState& s) { return s.geometry.dragHeldFocus.has_value(); }));
}

TEST(HostSessionCameraMic, ClipboardItemsUpToEightKilobytesTravelInline) {
  ControlRig rig;
  const uint64_t first = rig.session->announceClipboard("public.data", "", ClipPayload::memory(Bytes(8192, 1)));
  const uint64_t second = rig.session->announceClipboard("public.data", "x.bin", ClipPayload::memory(Bytes(8193, 2)));
  EXPECT_EQ(second, first + 1);
  auto inlined = rig.next<ClipAnnounce>();
  EXPECT_EQ(inlined.clipId, first);
  ASSERT_TRUE(inlined.inline_);
  EXPECT_EQ(inlined.inline_->size(), 8192u);
  auto fetched = rig.next<ClipAnnounce>();
  EXPECT_EQ(fetched.size, 8193u);
  EXPECT_FALSE(fetched.inline_);
  rig.session->requestClipboard(first, 40);
  auto request = rig.next<ClipRequest>();
  EXPECT_EQ(request.clipId, first);
  EXPECT_EQ(request.fromOffset, 40u);
}

}  // namespace
}  // namespace vela
