#include "host/desktop/cam_sink_feeder.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "devices/shared/cam_mailbox.hpp"
#include "host/desktop/mailbox_camera_sinks.hpp"
#include "platform/runtime/shared_memory.hpp"
#include "tests/testkit/shared_file_path.hpp"

namespace tavlo {
namespace {

vela::PixelBuffer solidFrame(int32_t width, int32_t height, uint8_t value) {
  vela::PixelBuffer frame;
  frame.width = width;
  frame.height = height;
  frame.bytesPerRow = static_cast<size_t>(width) * 4;
  frame.bgra.assign(frame.bytesPerRow * static_cast<size_t>(height), value);
  return frame;
}

// The camera as the fake sees it: queue depth, what was queued, and whether it is in use.
struct FakeCamera {
  bool present = true;
  size_t capacity = 4;
  std::vector<uint8_t> queued;  // first byte of each queued frame
  std::optional<bool> running = false;
  int lookups = 0;
  std::function<void()> duringProbe;  // runs while the feeder asks whether the camera is in use
};

class FakeSinks final : public CameraSinks {
 public:
  explicit FakeSinks(FakeCamera& camera) : camera_(camera) {}
  std::unique_ptr<CameraSink> find(const std::string& uid) override {
    ++camera_.lookups;
    if (!camera_.present || uid != "TavloCam_UID") return nullptr;
    return std::make_unique<Sink>(camera_);
  }

 private:
  struct Sink final : CameraSink {
    explicit Sink(FakeCamera& camera) : camera(camera) {}
    std::string deviceLabel() const override { return "7"; }
    std::string streamLabel() const override { return "8"; }
    bool enqueue(const std::function<bool(const CameraFrameSlot&)>& render) override {
      if (camera.queued.size() >= camera.capacity) return false;
      std::vector<uint8_t> bytes(cammailbox::kFrameBytes);
      if (!render(CameraFrameSlot{bytes, 5120, 1280, 720})) return false;
      camera.queued.push_back(bytes[640 * 4 + 360 * 5120]);  // the centre pixel's blue
      return true;
    }
    std::optional<bool> runningSomewhere() const override {
      if (camera.duringProbe) camera.duringProbe();
      return camera.running;
    }
    FakeCamera& camera;
  };
  FakeCamera& camera_;
};

struct Fixture {
  FakeCamera camera;
  FakeClock clock;
  ManualScheduler scheduler{clock};
  std::vector<std::string> log;
  std::shared_ptr<CamSinkFeeder> feeder = CamSinkFeeder::create(std::make_unique<FakeSinks>(camera), scheduler);
  Fixture() {
    feeder->setOnLog([this](const std::string& line) { log.push_back(line); });
  }
};

TEST(CamSinkFeeder, StartsTheSinkOnceAndDropsAFrameWhileTheQueueIsFull) {
  Fixture f;
  for (uint8_t value : {10, 20, 30, 40, 50}) f.feeder->push(solidFrame(1920, 1080, value));
  EXPECT_EQ(f.camera.queued, (std::vector<uint8_t>{10, 20, 30, 40}));  // the fifth was dropped
  EXPECT_EQ(f.camera.lookups, 1);
  EXPECT_EQ(f.log, (std::vector<std::string>{"📷 sink wirtualnej kamery wystartowany (device 7, stream 8)"}));
}

TEST(CamSinkFeeder, DropsMalformedFrames) {
  Fixture f;
  auto shortRows = solidFrame(640, 480, 1);
  shortRows.bgra.resize(shortRows.bgra.size() - 1);
  auto narrowStride = solidFrame(640, 480, 1);
  narrowStride.bytesPerRow = 100;
  auto negative = solidFrame(640, 480, 1);
  negative.height = -1;
  for (const auto& frame : {shortRows, narrowStride, solidFrame(0, 480, 1), negative}) {
    f.feeder->push(frame);
  }
  EXPECT_TRUE(f.camera.queued.empty());
}

TEST(CamSinkFeeder, ProbesAfterOneSecondThenEveryThreeAndLogsChanges) {
  Fixture f;
  f.feeder->startConsumptionWatcher();
  f.feeder->startConsumptionWatcher();  // one watcher only
  f.scheduler.advanceBy(999'999);
  EXPECT_EQ(f.camera.lookups, 0);
  f.scheduler.advanceBy(1);
  EXPECT_EQ(f.camera.lookups, 1);
  EXPECT_FALSE(f.feeder->consumedCached());
  EXPECT_TRUE(f.log.empty());  // unchanged from the initial "no"

  f.camera.running = true;
  f.scheduler.advanceBy(3'000'000);
  EXPECT_EQ(f.camera.lookups, 2);
  EXPECT_TRUE(f.feeder->consumedCached());
  f.camera.running = std::nullopt;  // unreadable counts as in use: no change, no line
  f.scheduler.advanceBy(3'000'000);
  EXPECT_EQ(f.log, (std::vector<std::string>{"📷 konsumpcja kamery przez konsumenta wirtualnej kamery: TAK (RSW)"}));
}

TEST(CamSinkFeeder, DropsFramesDuringAProbeAndRestartsTheSinkAfterIt) {
  Fixture f;
  f.feeder->push(solidFrame(1280, 720, 1));
  f.camera.duringProbe = [&] { f.feeder->push(solidFrame(1280, 720, 2)); };
  f.feeder->probeConsumption();
  f.camera.duringProbe = nullptr;
  EXPECT_EQ(f.camera.queued, (std::vector<uint8_t>{1}));
  f.feeder->push(solidFrame(1280, 720, 3));
  EXPECT_EQ(f.camera.queued, (std::vector<uint8_t>{1, 3}));
  EXPECT_EQ(f.log.size(), 2u);  // the sink started again
}

TEST(CamSinkFeeder, WithoutTheCameraCountsItAsConsumedAndStartsNothing) {
  Fixture f;
  f.camera.present = false;
  f.feeder->push(solidFrame(1280, 720, 1));
  f.feeder->probeConsumption();
  EXPECT_TRUE(f.feeder->consumedCached());
  EXPECT_EQ(f.log, (std::vector<std::string>{"📷 konsumpcja kamery przez konsumenta wirtualnej kamery: TAK (RSW)"}));
}

TEST(CamSinkFeeder, WritesIntoTheDaemonsMailboxOnRealSharedMemory) {
  testkit::SharedFilePath name;
  std::string error;
  auto memory = SharedMemory::createFresh(name, cammailbox::kTotalBytes, error);
  ASSERT_TRUE(memory) << error;
  cammailbox::MailboxView mailbox(memory->bytes());
  FakeClock clock;
  ManualScheduler scheduler(clock);
  auto feeder = CamSinkFeeder::create(std::make_unique<MailboxCameraSinks>(name), scheduler);

  feeder->push(solidFrame(1280, 720, 9));
  EXPECT_EQ(mailbox.writeCount(), 0u);  // no daemon has laid the mailbox out yet
  mailbox.initialize(1234, "TavloCam_UID");
  for (int i = 0; i < 5; ++i) feeder->push(solidFrame(1280, 720, static_cast<uint8_t>(i)));
  EXPECT_EQ(mailbox.queued(), 4u);
  std::vector<uint8_t> frame(cammailbox::kFrameBytes);
  ASSERT_TRUE(mailbox.takeNewest(frame));
  EXPECT_EQ(frame[0], 3);  // the fifth push found the queue full

  mailbox.setRunning(true);
  feeder->probeConsumption();
  EXPECT_TRUE(feeder->consumedCached());
  mailbox.setRunning(false);
  feeder->probeConsumption();
  EXPECT_FALSE(feeder->consumedCached());
}

}  // namespace
}  // namespace tavlo
