// The Xorg capture backend as the capture engine drives it: displays are the enabled outputs, a stream
// posts NV12 frames of the configured size from a pool of queue-depth buffers, and a still screen
// yields one idle sample and then nothing.
#include "platform/capture/x11_capture.hpp"

#include <gtest/gtest.h>

#include "platform/audio/synthetic_system_audio.hpp"
#include "platform/runtime/channel.hpp"
#include "platform/runtime/clock.hpp"
#include "tests/testkit/capture_samples.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

constexpr uint64_t kWaitUs = 3'000'000;

class X11CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.start()) << server_.failureText();
    capture_ = std::make_unique<X11Capture>(X11Capture::Options{server_.display(), nullptr, 2});
  }

  std::unique_ptr<CaptureStream> startStream(const CaptureConfiguration& configuration) {
    // The dummy card's first output is the one display on: its id and CRTC size.
    auto displays = capture_->shareableDisplays();
    EXPECT_EQ(displays.size(), 1u);
    if (displays.empty()) return nullptr;
    EXPECT_NE(displays[0].displayID, 0u);
    EXPECT_EQ(displays[0].width, 2048);
    EXPECT_EQ(displays[0].height, 1536);
    auto stream = capture_->makeStream(displays[0], configuration, nullptr);
    samples_.start(*stream);
    return stream;
  }

  std::optional<ScreenSample> next(uint64_t waitUs = kWaitUs) { return samples_.next(waitUs); }

  testkit::XorgServer server_;
  std::unique_ptr<X11Capture> capture_;
  std::shared_ptr<SerialExecutor> queue_ = std::make_shared<SerialExecutor>("vela.capture");
  testkit::CaptureSamples samples_;
};

TEST_F(X11CaptureTest, PostsAFrameOfTheConfiguredSizeThenOneIdleSampleWhileTheScreenStandsStill) {
  CaptureConfiguration configuration;
  configuration.width = 1280;
  configuration.height = 960;
  auto stream = startStream(configuration);
  ASSERT_NE(stream, nullptr);
  auto first = next();
  ASSERT_TRUE(first);
  ASSERT_EQ(first->status, CaptureFrameStatus::complete);
  ASSERT_NE(first->image, nullptr);
  EXPECT_EQ(first->image->width(), 1280);
  EXPECT_EQ(first->image->height(), 960);
  EXPECT_EQ(first->image->color, ColorDescription::bt709VideoRange());
  // Drawing that was still under way when the server came up may bring a frame or two more; then the
  // still screen is reported idle once, and nothing follows.
  std::optional<ScreenSample> idle;
  for (int i = 0; i < 5 && !(idle && idle->status == CaptureFrameStatus::idle); ++i) idle = next();
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->status, CaptureFrameStatus::idle);
  EXPECT_EQ(idle->image, nullptr);
  EXPECT_FALSE(next(300'000));

  // A new size is taken over before updateConfiguration returns, and its first frame follows.
  configuration.width = 640;
  configuration.height = 480;
  stream->updateConfiguration(configuration);
  auto resized = next();
  ASSERT_TRUE(resized && resized->image);
  EXPECT_EQ(resized->image->width(), 640);
  stream->stopCapture();
  // After what was queued when it stopped, nothing may come.
  samples_.drain();
  EXPECT_FALSE(next(100'000));
}

TEST_F(X11CaptureTest, RefusesAudioWithoutASourceAndSizesItCannotDeliver) {
  auto displays = capture_->shareableDisplays();
  ASSERT_FALSE(displays.empty());
  CaptureConfiguration configuration;
  configuration.width = 640;
  configuration.height = 480;
  auto stream = capture_->makeStream(displays[0], configuration, nullptr);
  EXPECT_THROW(stream->addAudioOutput([](AudioSampleBuffer) {}, queue_), CaptureStreamError);
  configuration.width = 0;
  EXPECT_THROW(capture_->makeStream(displays[0], configuration, nullptr), CaptureStreamError);
  EXPECT_THROW(stream->updateConfiguration(configuration), CaptureStreamError);
}

TEST_F(X11CaptureTest, PostsSystemAudioToTheAudioQueueWhileTheConfigurationAsksForIt) {
  auto source = std::make_shared<SyntheticSystemAudio>();
  X11Capture capture(X11Capture::Options{server_.display(), source, 2});
  auto displays = capture.shareableDisplays();
  ASSERT_FALSE(displays.empty());
  CaptureConfiguration configuration;
  configuration.width = 640;
  configuration.height = 480;
  configuration.audio = CaptureAudioSettings{};
  auto stream = capture.makeStream(displays[0], configuration, nullptr);
  Channel<AudioSampleBuffer> blocks;
  auto audioQueue = std::make_shared<SerialExecutor>("vela.capture.audio");
  stream->addAudioOutput([&](AudioSampleBuffer block) { blocks.send(std::move(block)); }, audioQueue);
  stream->startCapture();
  ASSERT_TRUE(source->isRunning());
  source->deliverBlocks(2);
  const Clock& clock = SteadyClock::shared();
  EXPECT_TRUE(blocks.receiveUntil(clock, clock.nowUs() + kWaitUs));
  EXPECT_TRUE(blocks.receiveUntil(clock, clock.nowUs() + kWaitUs));
  // Audio off in a new configuration: the source stops (this stream was its only listener).
  configuration.audio.reset();
  stream->updateConfiguration(configuration);
  EXPECT_FALSE(source->isRunning());
  stream->stopCapture();
  audioQueue->shutdown();
}

TEST_F(X11CaptureTest, TheServerGoingAwayStopsTheStreamWithAReason) {
  auto displays = capture_->shareableDisplays();
  ASSERT_FALSE(displays.empty());
  CaptureConfiguration configuration;
  configuration.width = 640;
  configuration.height = 480;
  Channel<std::string> stops;
  auto stream = capture_->makeStream(displays[0], configuration, [&](const std::string& why) { stops.send(why); });
  stream->startCapture();
  server_.stop();
  const Clock& clock = SteadyClock::shared();
  auto why = stops.receiveUntil(clock, clock.nowUs() + kWaitUs);
  ASSERT_TRUE(why);
  EXPECT_NE(why->find("X server"), std::string::npos);
  stream->stopCapture();
}

}  // namespace
}  // namespace tavlo
