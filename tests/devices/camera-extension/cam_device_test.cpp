#include "devices/camera-extension/cam_device.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tavlo {
namespace {

using cammailbox::kFrameBytes;

// A mailbox in ordinary memory (the layout is the same), a device on a manual scheduler, and the
// first byte of every emitted frame.
struct Fixture {
  std::vector<uint8_t> memory = std::vector<uint8_t>(cammailbox::kTotalBytes);
  cammailbox::MailboxView mailbox{memory};
  FakeClock clock;
  ManualScheduler scheduler{clock};
  std::vector<uint8_t> emitted;
  CamDevice device{mailbox, scheduler, [this](ByteView frame, size_t bytesPerRow) {
                     EXPECT_EQ(bytesPerRow, 5120u);
                     EXPECT_EQ(frame.size(), kFrameBytes);
                     emitted.push_back(frame[0]);
                   }};

  Fixture() { mailbox.initialize(42, "TavloCam_UID"); }
  void hostSends(uint8_t fill) {
    mailbox.tryEnqueue([&](std::span<uint8_t> frame) {
      std::fill(frame.begin(), frame.end(), fill);
      return true;
    });
  }
};

TEST(CamDevice, ShowsTheIdleFrameThirtyTimesASecondWhileNothingIsFed) {
  Fixture f;
  f.device.startStreaming();
  EXPECT_TRUE(f.mailbox.running());
  f.scheduler.advanceBy(1'000'000);
  EXPECT_EQ(f.emitted.size(), 31u);  // at 0 and every 1/30 s through 1 s
  EXPECT_EQ(f.emitted, std::vector<uint8_t>(31, CamDevice::kIdleByte));
}

TEST(CamDevice, HoldsTheHostsLastFrameForOneAndAHalfSeconds) {
  Fixture f;
  f.device.startStreaming();
  f.hostSends(0xAB);
  f.scheduler.advanceBy(CamDevice::kPumpIntervalUs);  // the pump takes it
  f.emitted.clear();
  f.scheduler.advanceBy(CamDevice::kSinkFreshUs - 2 * CamDevice::kFrameIntervalUs);
  ASSERT_FALSE(f.emitted.empty());
  EXPECT_EQ(f.emitted, std::vector<uint8_t>(f.emitted.size(), 0xAB));
  f.emitted.clear();
  f.scheduler.advanceBy(3 * CamDevice::kFrameIntervalUs);
  EXPECT_EQ(f.emitted.back(), CamDevice::kIdleByte);
  EXPECT_EQ(f.mailbox.queued(), 0u);
}

TEST(CamDevice, ShowsOnlyTheNewestOfSeveralQueuedFrames) {
  Fixture f;
  f.device.startStreaming();
  for (uint8_t fill : {1, 2, 3}) f.hostSends(fill);
  f.scheduler.advanceBy(CamDevice::kFrameIntervalUs);
  EXPECT_EQ(f.emitted.back(), 3);
  EXPECT_EQ(f.mailbox.queued(), 0u);
}

TEST(CamDevice, RunsOneTimerAndOnePumpHoweverOftenStreamingStarts) {
  Fixture f;
  for (int i = 0; i < 3; ++i) f.device.startStreaming();
  f.device.startPump();
  EXPECT_EQ(f.scheduler.pendingCount(), 2u);
  f.scheduler.advanceBy(1'000'000);
  EXPECT_EQ(f.emitted.size(), 31u);

  f.device.stopStreaming();
  f.device.stopStreaming();
  EXPECT_TRUE(f.device.frameTimerRunning());  // one application still streams
  EXPECT_TRUE(f.mailbox.running());
  f.device.stopStreaming();
  EXPECT_FALSE(f.device.frameTimerRunning());
  EXPECT_FALSE(f.mailbox.running());
  EXPECT_TRUE(f.device.pumpRunning());

  f.device.stopStreaming();  // unmatched stop
  EXPECT_EQ(f.device.streamingCount(), 0);
  f.device.startStreaming();
  EXPECT_TRUE(f.device.frameTimerRunning());
  EXPECT_EQ(f.scheduler.pendingCount(), 2u);
}

}  // namespace
}  // namespace tavlo
