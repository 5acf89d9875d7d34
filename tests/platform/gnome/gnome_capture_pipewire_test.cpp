// The GNOME capture backend as the capture engine drives it, on a screen-cast stream from a real
// producer: displays are the registry's live streams, pictures arrive as NV12 frames of the configured
// size, a still picture yields one idle sample, held buffers make frames be skipped (never block), audio
// comes from the shared system audio, and a stream whose monitor goes stops with a reason.
#include "platform/gnome/gnome_capture.hpp"

#include <gtest/gtest.h>

#include "platform/audio/synthetic_system_audio.hpp"
#include "platform/runtime/channel.hpp"
#include "platform/runtime/clock.hpp"
#include "tests/platform/gnome/screen_cast_producer.hpp"
#include "tests/testkit/capture_samples.hpp"
#include "tests/testkit/pipewire_stack.hpp"

namespace tavlo {
namespace {

constexpr uint64_t kWaitUs = 5'000'000;
constexpr DisplayId kDisplay = 41;

class GnomeCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(stack_.start()) << stack_.failureText();
    producer_ = std::make_unique<testkit::ScreenProducer>(stack_.pipewireRemote(), 64, 48);
    const uint32_t node = producer_->nodeId();
    ASSERT_NE(node, 0u);
    PipeWireScreenStream::Options options;
    options.nodeId = node;
    options.size = {64, 48};
    options.remote = stack_.pipewireRemote();
    std::string error;
    source_ = PipeWireScreenStream::open(options, &error);
    ASSERT_TRUE(source_) << error;
    ASSERT_TRUE(testkit::eventually([&] { return source_->status().state == PipeWireScreenStream::State::streaming; }))
        << stack_.logs();
    frames_->publish(kDisplay, source_);
  }

  std::unique_ptr<CaptureStream> startStream(GnomeCapture& capture, const CaptureConfiguration& configuration,
                                             CaptureBackend::StopHandler onStop = nullptr) {
    auto displays = capture.shareableDisplays();
    EXPECT_EQ(displays, (std::vector<CaptureDisplay>{{kDisplay, 64, 48}}));
    if (displays.empty()) return nullptr;
    auto stream = capture.makeStream(displays[0], configuration, std::move(onStop));
    samples_.start(*stream);
    return stream;
  }

  std::optional<ScreenSample> next(uint64_t waitUs = kWaitUs) { return samples_.next(waitUs); }
  // The next complete frame, sending red pictures until one comes (the first may be lost while the
  // producer's graph starts).
  std::optional<ScreenSample> nextFrameOfRed() {
    for (int attempt = 0; attempt < 50; ++attempt) {
      producer_->send(0, 0, 255);
      auto sample = next(100'000);
      if (sample && sample->status == CaptureFrameStatus::complete) return sample;
    }
    return std::nullopt;
  }

  testkit::PipeWireStack stack_;
  std::unique_ptr<testkit::ScreenProducer> producer_;
  std::shared_ptr<PipeWireScreenStream> source_;
  std::shared_ptr<ScreenCastFrames> frames_ = std::make_shared<ScreenCastFrames>();
  testkit::CaptureSamples samples_;
};

TEST_F(GnomeCaptureTest, PostsScaledFramesOfTheConfiguredSizeThenOneIdleSampleWhileThePictureStandsStill) {
  GnomeCapture capture({frames_, nullptr, 2});
  CaptureConfiguration configuration;
  configuration.width = 32;
  configuration.height = 24;
  auto stream = startStream(capture, configuration);
  ASSERT_NE(stream, nullptr);
  auto frame = nextFrameOfRed();
  ASSERT_TRUE(frame && frame->image) << stack_.logs();
  EXPECT_EQ(frame->image->width(), 32);
  EXPECT_EQ(frame->image->height(), 24);
  EXPECT_EQ(frame->image->color, ColorDescription::bt709VideoRange());
  // Pure red in BT.709 video range: luma 16 + 219 × 0.2126 ≈ 63.
  EXPECT_NEAR(frame->image->lumaPlane()[frame->image->lumaStride() * 23 + 31], 63, 2);

  // Mutter sends nothing while nothing changes: the stream says idle once, then nothing.
  std::optional<ScreenSample> idle;
  for (int i = 0; i < 60 && !(idle && idle->status == CaptureFrameStatus::idle); ++i) idle = next();
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->status, CaptureFrameStatus::idle);
  EXPECT_EQ(idle->image, nullptr);
  EXPECT_FALSE(next(300'000));

  // A new size is taken over before updateConfiguration returns and delivered at once, from the picture
  // the monitor shows: no new picture is needed.
  configuration.width = 64;
  configuration.height = 48;
  stream->updateConfiguration(configuration);
  auto resized = next();
  ASSERT_TRUE(resized && resized->image);
  EXPECT_EQ(resized->image->width(), 64);
  EXPECT_NEAR(resized->image->lumaPlane()[0], 63, 2);

  stream->stopCapture();
  samples_.drain();
  producer_->send(0, 255, 0);
  EXPECT_FALSE(next(200'000));
}

TEST_F(GnomeCaptureTest, SkipsPicturesWhileTheConsumerHoldsEveryBufferAndRespectsTheMinimumInterval) {
  GnomeCapture capture({frames_, nullptr, 2});
  CaptureConfiguration configuration;
  configuration.width = 64;
  configuration.height = 48;
  configuration.queueDepth = 2;
  auto stream = startStream(capture, configuration);
  ASSERT_NE(stream, nullptr);
  std::vector<ScreenSample> held;
  while (held.size() < 2) {
    auto frame = nextFrameOfRed();
    ASSERT_TRUE(frame) << stack_.logs();
    held.push_back(std::move(*frame));
  }
  // Both buffers are out: new pictures go nowhere, and the producer is never held up.
  for (int i = 0; i < 10; ++i) {
    producer_->send(uint8_t(i), 0, 0);
    auto sample = next(30'000);
    EXPECT_FALSE(sample && sample->status == CaptureFrameStatus::complete);
  }
  // One buffer back: the newest picture goes out without another being sent.
  held.pop_back();
  std::optional<ScreenSample> frame;
  for (int i = 0; i < 5 && !(frame && frame->status == CaptureFrameStatus::complete); ++i) frame = next();
  ASSERT_TRUE(frame && frame->image);
  held.clear();

  // Pictures at about 100 per second with a 100 ms minimum interval: at most one frame per interval
  // (and the one a new configuration brings at once), where every picture would make one otherwise.
  configuration.minimumFrameIntervalUs = 100'000;
  stream->updateConfiguration(configuration);
  samples_.drain();
  const Clock& clock = SteadyClock::shared();
  const uint64_t start = clock.nowUs();
  int sent = 0, delivered = 0;
  while (clock.nowUs() - start < 600'000) {
    sent += producer_->send(uint8_t(sent), 0, 0) ? 1 : 0;
    auto sample = next(10'000);
    if (sample && sample->status == CaptureFrameStatus::complete) ++delivered;
  }
  const uint64_t elapsedUs = clock.nowUs() - start;
  EXPECT_GE(delivered, 2) << sent;
  EXPECT_LE(uint64_t(delivered), elapsedUs / 100'000 + 2) << sent;
  stream->stopCapture();
}

TEST_F(GnomeCaptureTest, SharesSystemAudioAndStopsWithAReasonWhenTheMonitorsStreamGoes) {
  auto audio = std::make_shared<SyntheticSystemAudio>();
  GnomeCapture capture({frames_, audio, 2});
  CaptureConfiguration configuration;
  configuration.width = 64;
  configuration.height = 48;
  configuration.audio = CaptureAudioSettings{};
  Channel<std::string> stops;
  auto displays = capture.shareableDisplays();
  ASSERT_EQ(displays.size(), 1u);
  auto stream = capture.makeStream(displays[0], configuration, [&](const std::string& why) { stops.send(why); });
  Channel<AudioSampleBuffer> blocks;
  auto audioQueue = std::make_shared<SerialExecutor>("vela.capture.audio");
  stream->addAudioOutput([&](AudioSampleBuffer block) { blocks.send(std::move(block)); }, audioQueue);
  stream->startCapture();
  ASSERT_TRUE(audio->isRunning());
  audio->deliverBlocks(1);
  const Clock& clock = SteadyClock::shared();
  EXPECT_TRUE(blocks.receiveUntil(clock, clock.nowUs() + kWaitUs));

  // The display system closes the monitor's stream: the capture stops on its own and says why.
  source_->close();
  auto why = stops.receiveUntil(clock, clock.nowUs() + kWaitUs);
  ASSERT_TRUE(why);
  EXPECT_NE(why->find("closed"), std::string::npos);
  stream->stopCapture();
  EXPECT_FALSE(audio->isRunning());
  audioQueue->shutdown();

  // A closed stream is no display, and a display without a stream cannot be captured.
  EXPECT_TRUE(capture.shareableDisplays().empty());
  EXPECT_THROW(stream->startCapture(), CaptureStreamError);
  frames_->withdraw(kDisplay);
  EXPECT_THROW(capture.makeStream({kDisplay, 64, 48}, configuration, nullptr), CaptureStreamError);
  GnomeCapture withoutAudio({frames_, nullptr, 2});
  frames_->publish(kDisplay, source_);
  auto silent = withoutAudio.makeStream({kDisplay, 64, 48}, configuration, nullptr);
  EXPECT_THROW(silent->addAudioOutput([](AudioSampleBuffer) {}, audioQueue), CaptureStreamError);
  configuration.width = 0;
  EXPECT_THROW(withoutAudio.makeStream({kDisplay, 64, 48}, configuration, nullptr), CaptureStreamError);
}

// The pointer comes beside the pictures; drawn in (an opaque white square here) when shown.
TEST(GnomeCapturePointer, DrawsThePointerFromTheStreamsMetadataOnlyWhileTheConfigurationShowsIt) {
  using Pointer = testkit::ScriptedProducer::Pointer;
  testkit::PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();
  testkit::ScriptedProducer producer(stack.pipewireRemote(), 64, 48);
  const uint32_t node = producer.nodeId();
  ASSERT_NE(node, 0u);
  PipeWireScreenStream::Options options;
  options.nodeId = node;
  options.size = {64, 48};
  options.remote = stack.pipewireRemote();
  auto source = PipeWireScreenStream::open(options);
  ASSERT_TRUE(source);
  auto frames = std::make_shared<ScreenCastFrames>();
  frames->publish(kDisplay, source);
  ASSERT_TRUE(testkit::eventually([&] { return producer.streaming(); })) << stack.logs();

  GnomeCapture capture({frames, nullptr, 2});
  CaptureConfiguration configuration;
  configuration.width = 64;
  configuration.height = 48;
  configuration.showsCursor = true;
  auto stream = capture.makeStream({kDisplay, 64, 48}, configuration, nullptr);
  Channel<ScreenSample> samples;
  auto queue = std::make_shared<SerialExecutor>("vela.capture");
  stream->addScreenOutput([&](ScreenSample sample) { samples.send(std::move(sample)); }, queue);
  stream->startCapture();
  const Clock& clock = SteadyClock::shared();
  auto nextComplete = [&](uint64_t waitUs) -> std::optional<ScreenSample> {
    const uint64_t deadline = clock.nowUs() + waitUs;
    while (auto sample = samples.receiveUntil(clock, deadline)) {
      if (sample->status == CaptureFrameStatus::complete) return sample;
    }
    return std::nullopt;
  };
  const auto luma = [](const ScreenSample& sample, int32_t x, int32_t y) {
    return int(sample.image->lumaPlane()[sample.image->lumaStride() * size_t(y) + size_t(x)]);
  };
  constexpr int kWhite = 235, kGrey = 16 + 219 * 0x40 / 255;  // video-range luma of the two

  std::optional<ScreenSample> frame;
  for (int i = 0; i < 50 && !frame; ++i) {
    producer.send(producer.pictureSize(), Pointer{10, 12, true});
    frame = nextComplete(100'000);
  }
  ASSERT_TRUE(frame && frame->image) << stack.logs();
  EXPECT_NEAR(luma(*frame, 13, 15), kWhite, 3);
  EXPECT_NEAR(luma(*frame, 40, 40), kGrey, 3);

  // Only the pointer moved (no picture in the buffer): a new frame shows it at its new place.
  producer.send(0, Pointer{30, 20, false});
  auto moved = nextComplete(kWaitUs);
  ASSERT_TRUE(moved && moved->image);
  EXPECT_NEAR(luma(*moved, 33, 23), kWhite, 3);
  EXPECT_NEAR(luma(*moved, 13, 15), kGrey, 3);

  // Not shown: the frame is the bare picture, and a pointer that moves brings no frame.
  configuration.showsCursor = false;
  stream->updateConfiguration(configuration);
  auto bare = nextComplete(kWaitUs);
  ASSERT_TRUE(bare && bare->image);
  EXPECT_NEAR(luma(*bare, 33, 23), kGrey, 3);
  producer.send(0, Pointer{5, 5, false});
  EXPECT_FALSE(nextComplete(300'000));
  EXPECT_EQ(source->cursor().x, 5);
  stream->stopCapture();
}

}  // namespace
}  // namespace tavlo
