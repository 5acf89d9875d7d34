// The uplink evaluation's windows and rungs, without a session.
#include "hostcore/session/device_uplink.hpp"

#include <gtest/gtest.h>

namespace vela {
namespace {

constexpr uint64_t kStart = 1'000'000'000'000;

// A device already on at `rung`, with one-second windows fed by the test.
struct Uplink {
  explicit Uplink(int64_t camRung = -1, int64_t micRung = -1) {
    m.mediaGateCam = camRung >= 0;
    m.mediaGateMic = micRung >= 0;
    m.camQualityIdx = camRung;
    m.micQualityIdx = micRung;
    m.camUpEvalUs = now;
    m.micUpEvalUs = now;
  }
  DeviceUplink::Verdict cameraWindow(int64_t frames, uint64_t reliefUntil = 0, bool legacy = false) {
    m.camUpFrames = frames;
    now += 1'000'000;
    return DeviceUplink::evaluateCamera(m, true, now, reliefUntil, legacy);
  }
  DeviceUplink::Verdict micWindow(int64_t packets, uint64_t reliefUntil = 0) {
    m.micUpPackets = packets;
    now += 1'000'000;
    return DeviceUplink::evaluateMicrophone(m, true, now, reliefUntil);
  }
  MediaDevicesState m;
  uint64_t now = kStart;
};

TEST(DeviceUplink, CameraAtTwoThirdsOfItsPeakCountsNeitherWay) {
  Uplink up(3);
  up.m.camFpsPeak = 30;
  EXPECT_FALSE(up.cameraWindow(20).quality);
  EXPECT_EQ(up.m.camUpOkRun, 0);
  EXPECT_EQ(up.m.camUpBadRun, 0);
  EXPECT_DOUBLE_EQ(up.m.camFpsPeak, 29);  // the peak sank by one frame per second
}

TEST(DeviceUplink, CameraStepsDownAfterThreeBadWindowsAndUpAfterTwoGoodOnesOutsideRelief) {
  Uplink up(3);
  up.cameraWindow(30);  // the peak
  up.cameraWindow(5);
  up.cameraWindow(5);
  EXPECT_EQ(up.cameraWindow(5).quality, 2);
  EXPECT_EQ(up.m.camQualityIdx, 2);
  EXPECT_EQ(up.m.camUpBadRun, 0);

  up.cameraWindow(30);
  EXPECT_FALSE(up.cameraWindow(30, up.now + 2'000'000).quality);  // chronic relief holds the rung
  EXPECT_EQ(up.cameraWindow(30).quality, 3);
  EXPECT_EQ(up.m.camUpOkRun, 0);
}

TEST(DeviceUplink, LegacyCameraJudgesAgainstTheRungsOwnRate) {
  Uplink up(2);  // 24 fps
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(up.cameraWindow(11, 0, true).quality);
  EXPECT_EQ(up.cameraWindow(11, 0, true).quality, 1);  // 11 < 12 = half of 24
  Uplink steady(2);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(steady.cameraWindow(12, 0, true).quality) << i;
}

TEST(DeviceUplink, MicrophoneRungFollowsItsPacketRate) {
  Uplink up(-1, 2);
  up.micWindow(19);
  up.micWindow(10);
  EXPECT_EQ(up.micWindow(0).quality, 1);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(up.micWindow(35).quality);
  EXPECT_FALSE(up.micWindow(50, up.now + 5'000'000).quality);  // fifth good window inside relief
  EXPECT_EQ(up.micWindow(50).quality, 2);
  for (int i = 0; i < 8; ++i) up.micWindow(25);  // between the thresholds: neither
  EXPECT_EQ(up.m.micQualityIdx, 2);
}

TEST(DeviceUplink, SwitchingOnSendsItsRungAndSwitchingOffKeepsIt) {
  Uplink up;
  auto on = DeviceUplink::evaluateCamera(up.m, true, up.now, 0, false);
  EXPECT_EQ(on.control, true);
  EXPECT_EQ(on.quality, 0);  // no rung yet: 0
  up.m.camQualityIdx = 4;
  auto off = DeviceUplink::evaluateCamera(up.m, false, up.now + 10, 0, false);
  EXPECT_EQ(off.control, false);
  EXPECT_FALSE(off.quality);
  EXPECT_EQ(up.m.camQualityIdx, 4);
  auto again = DeviceUplink::evaluateCamera(up.m, true, up.now + 20, 0, false);
  EXPECT_EQ(again.control, true);
  EXPECT_EQ(again.quality, 4);  // a switch-on resends the rung it kept
  EXPECT_EQ(up.m.camUpEvalUs, up.now + 20);
}

}  // namespace
}  // namespace vela
