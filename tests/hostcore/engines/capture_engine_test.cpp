#include "hostcore/engines/capture_engine.hpp"

#include <gtest/gtest.h>

#include "platform/audio/synthetic_system_audio.hpp"
#include "platform/capture/synthetic_capture.hpp"
#include "tests/hostcore/engines/log_recorder.hpp"

namespace vela {
namespace {

using tavlo::CaptureFrameStatus;
using tavlo::SyntheticCapture;
using tavlo::SyntheticSystemAudio;
using Operation = SyntheticCapture::Operation;

class CaptureEngineTest : public ::testing::Test {
 protected:
  CaptureEngineTest() {
    audio_ = std::make_shared<SyntheticSystemAudio>();
    SyntheticCapture::Options options;
    options.displays = {{5, 1920, 1080}, {7, 2560, 1600}};
    options.audioSource = audio_;
    capture_ = SyntheticCapture::create(options);
    engine_ = CaptureEngine::create(capture_, [this](const CaptureEngine::PixelBuffer& buffer, uint64_t stampUs) {
      std::lock_guard guard(mutex_);
      frames_.push_back({buffer, stampUs});
    }, clock_);
    engine_->setOnLog(log_.sink());
    engine_->setOnAudio([this](const tavlo::Bytes& block) {
      std::lock_guard guard(mutex_);
      blocks_.push_back(block);
    });
  }

  struct Frame {
    CaptureEngine::PixelBuffer buffer;
    uint64_t stampUs;
  };
  std::vector<Frame> frames() {
    std::lock_guard guard(mutex_);
    return frames_;
  }
  std::vector<tavlo::Bytes> blocks() {
    std::lock_guard guard(mutex_);
    return blocks_;
  }
  // The configuration the newest stream runs with.
  tavlo::CaptureConfiguration lastConfiguration() { return capture_->streams().back().configurations.back(); }

  tavlo::FakeClock clock_;
  std::shared_ptr<SyntheticSystemAudio> audio_;
  std::shared_ptr<SyntheticCapture> capture_;
  std::shared_ptr<CaptureEngine> engine_;
  LogRecorder log_;
  std::mutex mutex_;
  std::vector<Frame> frames_;
  std::vector<tavlo::Bytes> blocks_;
};

TEST_F(CaptureEngineTest, StartConfiguresTheStreamOfTheRequestedDisplay) {
  engine_->start(7, 1280, 800, 60, true, true);
  auto streams = capture_->streams();
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].display.displayID, 7u);
  EXPECT_TRUE(streams[0].running);
  EXPECT_TRUE(streams[0].hasAudioOutput);
  const auto& configuration = streams[0].configurations[0];
  EXPECT_EQ(configuration.width, 1280);
  EXPECT_EQ(configuration.height, 800);
  EXPECT_EQ(configuration.pixelFormat, 0x34323076u);
  EXPECT_EQ(configuration.minimumFrameIntervalUs, 0u);
  EXPECT_EQ(configuration.queueDepth, 8);
  EXPECT_TRUE(configuration.showsCursor);
  EXPECT_EQ(configuration.audio, (tavlo::CaptureAudioSettings{48000, 2, true}));
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"✅ audio output SCK dodany"});
}

TEST_F(CaptureEngineTest, RestartReplaysTheFirstStartsSizeAndTheLatestDisplayAndCursor) {
  engine_->restart(std::nullopt);  // never started: nothing, not even a log line
  EXPECT_TRUE(capture_->streams().empty());
  EXPECT_TRUE(log_.lines().empty());

  engine_->start(5, 1920, 1080, 60, true, false);
  engine_->updateSize(1280, 720, 30);
  engine_->setShowsCursor(true);
  engine_->restart(std::nullopt);
  EXPECT_EQ(capture_->streams().back().display.displayID, 5u);
  EXPECT_EQ(lastConfiguration().width, 1920);
  EXPECT_EQ(lastConfiguration().height, 1080);
  EXPECT_TRUE(lastConfiguration().showsCursor);

  engine_->restart(7);
  EXPECT_EQ(capture_->streams().back().display.displayID, 7u);
  engine_->restart(std::nullopt);
  EXPECT_EQ(capture_->streams().back().display.displayID, 7u);
  EXPECT_EQ(capture_->runningStreamCount(), 1u);
  EXPECT_EQ(engine_->lastStart(), (CaptureEngine::StartArguments{7, 1920, 1080, 60, true, true}));
}

TEST_F(CaptureEngineTest, AFailedStartIsStillReplayedByRestart) {
  EXPECT_THROW(engine_->start(9, 1600, 900, 30, true, false), CaptureError);
  EXPECT_FALSE(engine_->isRunning());
  EXPECT_EQ(engine_->lastStart(), (CaptureEngine::StartArguments{9, 1600, 900, 30, true, false}));
  EXPECT_EQ(engine_->currentConfiguration(), (CaptureEngine::CurrentConfiguration{1600, 900, 30, true, false}));

  engine_->restart(9);  // still no such display
  EXPECT_EQ(log_.lines().back(), "❌ restart SCK: displayNotFound");
  EXPECT_FALSE(engine_->isRunning());

  engine_->restart(5);
  ASSERT_TRUE(engine_->isRunning());
  EXPECT_EQ(capture_->streams().back().display.displayID, 5u);
  EXPECT_EQ(lastConfiguration().width, 1600);
}

TEST_F(CaptureEngineTest, PlatformFailuresPassToTheStarterAndLeaveNoStream) {
  for (auto operation : {Operation::shareableDisplays, Operation::makeStream, Operation::addScreenOutput,
                         Operation::startCapture}) {
    capture_->failNext(operation, "serwer odmówił");
    try {
      engine_->start(5, 640, 360, 60, true, false);
      ADD_FAILURE() << "start succeeded";
    } catch (const tavlo::CaptureStreamError& error) {
      EXPECT_EQ(error.description(), "serwer odmówił");
    }
    EXPECT_FALSE(engine_->isRunning());
  }
  capture_->failNext(Operation::startCapture, "zajęte");
  engine_->restart(std::nullopt);
  EXPECT_EQ(log_.lines().back(), "❌ restart SCK: zajęte");
  EXPECT_EQ(capture_->runningStreamCount(), 0u);
}

TEST_F(CaptureEngineTest, WithoutAudioOutputTheStartGoesOnAndLogsWhy) {
  capture_->failNext(Operation::addAudioOutput, "brak monitora");
  engine_->start(5, 640, 360, 60, true, false);
  EXPECT_TRUE(engine_->isRunning());
  EXPECT_FALSE(capture_->streams().back().hasAudioOutput);
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"❌ audio output SCK: brak monitora"});
}

TEST_F(CaptureEngineTest, UpdatesActOnlyOnARunningStreamAndFollowTheAudioFlag) {
  engine_->updateSize(800, 600, 30);
  engine_->updateFrameInterval(30, 800, 600, false);
  engine_->stop();
  EXPECT_TRUE(capture_->streams().empty());
  EXPECT_EQ(engine_->currentConfiguration().w, 0);

  engine_->start(5, 1920, 1080, 60, false, false);
  EXPECT_FALSE(lastConfiguration().audio);
  engine_->updateSize(1280, 720, 60);  // turns audio capture on
  EXPECT_EQ(lastConfiguration().audio, (tavlo::CaptureAudioSettings{48000, 2, true}));
  EXPECT_EQ(lastConfiguration().width, 1280);
  engine_->updateFrameInterval(30, 1280, 720, false);  // leaves the audio settings out
  EXPECT_FALSE(lastConfiguration().audio);
  EXPECT_EQ(engine_->currentConfiguration(), (CaptureEngine::CurrentConfiguration{1280, 720, 30, false, false}));

  capture_->failNext(Operation::updateConfiguration, "odmowa");
  engine_->updateSize(640, 360, 30);  // refused silently; the wanted size is remembered
  EXPECT_EQ(engine_->currentConfiguration().w, 640);
  EXPECT_EQ(lastConfiguration().width, 1280);

  capture_->failNext(Operation::stopCapture, "już stoi");
  engine_->stop();
  EXPECT_FALSE(engine_->isRunning());
  engine_->setShowsCursor(true);  // no stream: remembered for the next restart only
  EXPECT_EQ(capture_->streams().size(), 1u);
  EXPECT_EQ(capture_->streams()[0].configurations.size(), 3u);
  engine_->restart(std::nullopt);
  EXPECT_TRUE(lastConfiguration().showsCursor);
  EXPECT_FALSE(lastConfiguration().audio);  // the last start's flag, not the updates'
}

TEST_F(CaptureEngineTest, DeliversOnlyCompleteFramesWithTimeStampsThatNeverDecrease) {
  engine_->start(5, 320, 180, 60, true, false);
  const std::vector<CaptureFrameStatus> statuses = {
      CaptureFrameStatus::started, CaptureFrameStatus::complete, CaptureFrameStatus::idle,
      CaptureFrameStatus::complete, CaptureFrameStatus::blank, CaptureFrameStatus::suspended,
      CaptureFrameStatus::complete, CaptureFrameStatus::stopped, CaptureFrameStatus::complete};
  for (auto status : statuses) {
    capture_->emitFrame(status);
    if (status == CaptureFrameStatus::complete) clock_.advanceUs(16'667);
  }
  capture_->emitScreenSample(tavlo::ScreenSample{std::nullopt, tavlo::Nv12Buffer::make(320, 180)});
  capture_->emitScreenSample(tavlo::ScreenSample{CaptureFrameStatus::complete, nullptr});
  capture_->emitFrame();

  auto delivered = frames();
  ASSERT_EQ(delivered.size(), 5u);
  for (size_t i = 0; i < delivered.size(); ++i) {
    EXPECT_EQ(delivered[i].buffer->width(), 320);
    if (i > 0) {
      EXPECT_GE(delivered[i].stampUs, delivered[i - 1].stampUs);
    }
  }
  EXPECT_EQ(delivered.front().stampUs, tavlo::FakeClock::startUs);
  EXPECT_EQ(delivered.back().stampUs, delivered[3].stampUs + 16'667);  // the time of delivery
}

TEST_F(CaptureEngineTest, ReplacedFrameCallbackTakesEffectForTheNextFrame) {
  engine_->start(5, 320, 180, 60, true, false);
  capture_->emitFrame();
  int handedOver = 0;
  engine_->setOnFrame([&](const CaptureEngine::PixelBuffer&, uint64_t) { ++handedOver; });
  capture_->emitFrames(2);
  EXPECT_EQ(frames().size(), 1u);
  EXPECT_EQ(handedOver, 2);
}

TEST_F(CaptureEngineTest, AudioIsConvertedAndItsFormatAndFailuresAreLoggedSparingly) {
  engine_->start(5, 320, 180, 60, true, false);
  audio_->deliverBlocks(2);
  capture_->flush();
  auto converted = blocks();
  ASSERT_EQ(converted.size(), 2u);
  EXPECT_EQ(converted[0].size(), 480u * 4);
  EXPECT_EQ(log_.startingWith("🔊 format audio: "),
            std::vector<std::string>{"🔊 format audio: 48000Hz ch=2 bits=32 float=true planar=false bpf=8 flags=1"});

  // Unconvertible buffers: counted from the first buffer of the engine's life, logged at 1, 201, 401…
  for (int i = 0; i < 599; ++i) capture_->emitAudio(SyntheticSystemAudio::int16Block({1, 2}, 2));
  EXPECT_EQ(engine_->audioBuffersSeen(), 601);
  EXPECT_EQ(log_.startingWith("🔊 audio buffer #"),
            (std::vector<std::string>{"🔊 audio buffer #201: konwersja nil", "🔊 audio buffer #401: konwersja nil",
                                      "🔊 audio buffer #601: konwersja nil"}));
  EXPECT_EQ(log_.startingWith("🔊 format nieobsłużony").size(), 1u);
  EXPECT_EQ(log_.startingWith("🔊 format audio: ").size(), 1u);
}

TEST_F(CaptureEngineTest, ReleasingTheEngineStopsItsStream) {
  engine_->start(5, 320, 180, 60, true, false);
  engine_.reset();
  EXPECT_EQ(capture_->runningStreamCount(), 0u);
  EXPECT_FALSE(audio_->isRunning());
  EXPECT_EQ(capture_->emitFrame(), 0u);
}

}  // namespace
}  // namespace vela
