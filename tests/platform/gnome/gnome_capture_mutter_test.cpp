// The GNOME capture backend on a private headless mutter: a virtual monitor made through RecordVirtual
// takes the size our stream negotiates, its pictures arrive as frames of the capture's size, a resize
// changes the monitor, a still desktop yields one idle sample, and the pointer, sent beside the
// pictures, is drawn in when the capture shows it.
#include "platform/gnome/gnome_capture.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/gnome/mutter_remote_session.hpp"
#include "platform/runtime/channel.hpp"
#include "platform/runtime/clock.hpp"
#include "tests/platform/gnome/screen_cast_producer.hpp"
#include "tests/testkit/headless_mutter.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using testkit::eventually;
constexpr uint64_t kWaitUs = 10'000'000;
constexpr DisplayId kDisplay = 1;

// Whether mutter shows a monitor of that size now (its current mode).
bool showsMonitorOf(BusConnection& bus, int64_t width, int64_t height) {
  auto state = bus.call({mutter::kDisplayConfigName, mutter::kDisplayConfigPath, mutter::kDisplayConfigName,
                         "GetCurrentState"});
  if (!state || state->size() < 2) return false;
  for (const auto& monitor : (*state)[1].items) {
    for (const auto& mode : monitor.at(1).items) {
      const BusValue* current = mode.at(6).field("is-current");
      if (current && current->asBool() && mode.at(1).asInt() == width && mode.at(2).asInt() == height) return true;
    }
  }
  return false;
}

class GnomeCaptureMutterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No stand-in monitor: the virtual one is the desktop's only monitor, where clients open.
    ASSERT_TRUE(mutter_.start()) << mutter_.failureText();
    mutter_.applyToThisProcess();
    std::string error;
    bus_ = BusConnection::openSession(&error);
    ASSERT_TRUE(bus_) << error;
    session_ = MutterRemoteSession::create(bus_, &error);
    ASSERT_TRUE(session_) << error;
    auto stream = session_->recordVirtual(CastCursorMode::metadata, &error);
    ASSERT_TRUE(stream) << error;
    streamPath_ = *stream;
    ASSERT_TRUE(session_->start(5s, &error)) << error << mutter_.logs();
    node_ = session_->nodeOf(streamPath_).value_or(0);
    ASSERT_NE(node_, 0u);
  }

  void TearDown() override {
    if (source_) source_->close();
    if (session_) session_->stop();
  }

  void openSource(PixelSize size) {
    PipeWireScreenStream::Options options;
    options.nodeId = node_;
    options.size = size;
    options.remote = mutter_.stack().pipewireRemote();
    options.log = [this](const std::string& line) { log_.send(line); };
    std::string error;
    source_ = PipeWireScreenStream::open(options, &error);
    ASSERT_TRUE(source_) << error;
    frames_->publish(kDisplay, source_);
  }

  std::optional<ScreenSample> next(uint64_t waitUs = kWaitUs) {
    const Clock& clock = SteadyClock::shared();
    return samples_.receiveUntil(clock, clock.nowUs() + waitUs);
  }
  std::optional<ScreenSample> nextComplete(uint64_t waitUs = kWaitUs) {
    const Clock& clock = SteadyClock::shared();
    const uint64_t deadline = clock.nowUs() + waitUs;
    while (auto sample = samples_.receiveUntil(clock, deadline)) {
      if (sample->status == CaptureFrameStatus::complete) return sample;
    }
    return std::nullopt;
  }
  // Waits for the idle sample that follows the last frame (frames still on their way come first).
  bool idleFollows() {
    while (auto sample = next(2'000'000)) {
      if (sample->status == CaptureFrameStatus::idle) return true;
    }
    return false;
  }

  testkit::HeadlessMutter mutter_;
  std::shared_ptr<BusConnection> bus_;
  std::unique_ptr<MutterRemoteSession> session_;
  std::string streamPath_;
  uint32_t node_ = 0;
  std::shared_ptr<PipeWireScreenStream> source_;
  std::shared_ptr<ScreenCastFrames> frames_ = std::make_shared<ScreenCastFrames>();
  std::shared_ptr<SerialExecutor> queue_ = std::make_shared<SerialExecutor>("vela.capture");
  Channel<ScreenSample> samples_;
  Channel<std::string> log_;
};

TEST_F(GnomeCaptureMutterTest, FramesOfTheNegotiatedSizeArriveAResizeChangesTheMonitorAndAStillDesktopIsIdle) {
  openSource({640, 480});
  ASSERT_TRUE(eventually([&] { return source_->status().state == PipeWireScreenStream::State::streaming; }))
      << mutter_.logs();
  EXPECT_EQ(source_->negotiatedSize(), (PixelSize{640, 480}));
  ASSERT_TRUE(eventually([&] { return showsMonitorOf(*bus_, 640, 480); })) << mutter_.logs();

  GnomeCapture capture({frames_, nullptr, 2});
  EXPECT_EQ(capture.shareableDisplays(), (std::vector<CaptureDisplay>{{kDisplay, 640, 480}}));
  CaptureConfiguration configuration;
  configuration.width = 320;
  configuration.height = 240;
  auto stream = capture.makeStream({kDisplay, 640, 480}, configuration, nullptr);
  stream->addScreenOutput([this](ScreenSample sample) { samples_.send(std::move(sample)); }, queue_);
  stream->startCapture();

  // An animating client on the monitor: mutter sends its pictures.
  testkit::ChildProcess client;
  ASSERT_TRUE(mutter_.startClient(client, {"weston-simple-shm"}, "simple-shm.log"));
  auto frame = nextComplete();
  ASSERT_TRUE(frame && frame->image) << mutter_.logs() << client.log();
  EXPECT_EQ(frame->image->width(), 320);
  EXPECT_EQ(frame->image->height(), 240);
  ASSERT_TRUE(source_->latestFrame());
  EXPECT_EQ(source_->latestFrame()->width, 640);

  // The monitor follows a new negotiation, and its pictures keep coming at the capture's size.
  ASSERT_TRUE(source_->resize({800, 600}));
  ASSERT_TRUE(eventually([&] { return source_->negotiatedSize() == PixelSize{800, 600}; })) << mutter_.logs();
  EXPECT_TRUE(eventually([&] { return showsMonitorOf(*bus_, 800, 600) && !showsMonitorOf(*bus_, 640, 480); }))
      << mutter_.logs();
  EXPECT_TRUE(eventually([&] {
    auto latest = source_->latestFrame();
    return latest && latest->width == 800 && latest->height == 600;
  })) << mutter_.logs();
  auto resized = nextComplete();
  ASSERT_TRUE(resized && resized->image);
  EXPECT_EQ(resized->image->width(), 320);
  EXPECT_EQ(capture.shareableDisplays(), (std::vector<CaptureDisplay>{{kDisplay, 800, 600}}));

  // The client goes: nothing is drawn, mutter sends nothing, the capture says idle.
  client.stop();
  EXPECT_TRUE(idleFollows()) << mutter_.logs();
  stream->stopCapture();
}

TEST_F(GnomeCaptureMutterTest, ThePointerMovedThroughRemoteDesktopFollowsInTheStreamsMetadata) {
  openSource({320, 240});
  ASSERT_TRUE(eventually([&] { return source_->status().state == PipeWireScreenStream::State::streaming; }))
      << mutter_.logs();
  // The pointer is sent beside the pictures, in the monitor's own pixels. (A headless mutter has no
  // pointer device of its own and draws the pointer's image empty; its position is what it sends.)
  for (const auto& [x, y] : {std::pair{100, 80}, std::pair{250, 17}}) {
    int polls = 0;
    EXPECT_TRUE(eventually([&] {
      // Mutter reports motion, not position: a move made before it records is never repeated, so now
      // and then the pointer moves off the spot and back (not on every poll: mutter paces its updates).
      if (polls++ % 10 == 0) {
        session_->pointerMotionAbsolute(streamPath_, x + 1, y);
        session_->pointerMotionAbsolute(streamPath_, x, y);
        session_->flush();
      }
      const ScreenCursor cursor = source_->cursor();
      return cursor.visible && cursor.x == x && cursor.y == y;
    })) << mutter_.logs();
  }
}

}  // namespace
}  // namespace tavlo
