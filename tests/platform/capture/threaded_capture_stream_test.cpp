// The capture thread every real stream shares, under a stream whose source is the test: a configuration
// is in the thread's hands when updateConfiguration returns, a thread that left on its own (its source
// lost) neither hangs a reconfiguration nor a stop, the source is opened once per start and closed once
// per stop, and system audio runs exactly while a started stream's configuration asks for it.
#include "platform/capture/threaded_capture_stream.hpp"

#include <gtest/gtest.h>

#include "platform/audio/synthetic_system_audio.hpp"
#include "platform/runtime/channel.hpp"
#include "platform/runtime/clock.hpp"

namespace tavlo {
namespace {

constexpr uint64_t kWaitUs = 5'000'000;

CaptureConfiguration sized(int64_t width) {
  CaptureConfiguration configuration;
  configuration.width = width;
  configuration.height = 480;
  return configuration;
}

class ScriptedStream final : public ThreadedCaptureStream {
 public:
  ScriptedStream(std::shared_ptr<SystemAudioFanOut> audio, CaptureBackend::StopHandler onStop)
      : ThreadedCaptureStream("tavlo.testgrab", sized(640), std::move(audio), std::move(onStop)) {}
  ~ScriptedStream() override { stopCapture(); }

  // The thread leaves its loop on its own, as when a server goes away.
  void loseSource() {
    {
      std::lock_guard lock(mutex_);
      lost_ = true;
    }
    changed_.notify_all();
  }
  int64_t takenWidth() {
    std::lock_guard lock(mutex_);
    return takenWidth_;
  }
  // Called on the caller's thread only.
  int opened = 0;
  int closed = 0;

 private:
  void openSource() override {
    ++opened;
    std::lock_guard lock(mutex_);
    lost_ = false;
  }
  void closeSource() override { ++closed; }
  void run() override {
    while (true) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopAskedLocked() || configurationWaitingLocked() || lost_; });
        if (stopAskedLocked()) return;
        if (lost_) break;
        takenWidth_ = takeConfigurationLocked()->width;
      }
      configurationApplied();
    }
    reportStop("the source went");
  }

  bool lost_ = false;
  int64_t takenWidth_ = 0;
};

TEST(ThreadedCaptureStream, HandsEachConfigurationOverBeforeReturningAndSurvivesAThreadThatLeftOnItsOwn) {
  Channel<std::string> stops;
  ScriptedStream stream(nullptr, [&](const std::string& why) { stops.send(why); });
  stream.startCapture();
  stream.startCapture();  // already running: nothing more is opened
  EXPECT_EQ(stream.opened, 1);
  stream.updateConfiguration(sized(800));
  EXPECT_EQ(stream.takenWidth(), 800);
  EXPECT_THROW(stream.updateConfiguration(sized(0)), CaptureStreamError);

  stream.loseSource();
  const Clock& clock = SteadyClock::shared();
  EXPECT_EQ(stops.receiveUntil(clock, clock.nowUs() + kWaitUs), "the source went");
  // Nobody takes it over any more, yet the call returns.
  stream.updateConfiguration(sized(1024));
  EXPECT_EQ(stream.takenWidth(), 800);
  stream.stopCapture();
  stream.stopCapture();  // already stopped: nothing more is closed
  EXPECT_EQ(stream.closed, 1);
  stream.startCapture();
  stream.updateConfiguration(sized(1280));
  EXPECT_EQ(stream.takenWidth(), 1280);
  EXPECT_EQ(stream.opened, 2);
}

TEST(ThreadedCaptureStream, RunsSystemAudioOnlyWhileAStartedStreamsConfigurationAsksForIt) {
  auto source = std::make_shared<SyntheticSystemAudio>();
  ScriptedStream stream(SystemAudioFanOut::create(source), nullptr);
  auto queue = std::make_shared<SerialExecutor>("vela.capture.audio");
  Channel<AudioSampleBuffer> blocks;
  stream.addAudioOutput([&](AudioSampleBuffer block) { blocks.send(std::move(block)); }, queue);
  CaptureConfiguration withAudio = sized(640);
  withAudio.audio = CaptureAudioSettings{};
  stream.updateConfiguration(withAudio);
  EXPECT_FALSE(source->isRunning());  // not started

  stream.startCapture();
  EXPECT_TRUE(source->isRunning());
  source->deliverBlocks(1);
  const Clock& clock = SteadyClock::shared();
  EXPECT_TRUE(blocks.receiveUntil(clock, clock.nowUs() + kWaitUs));
  stream.updateConfiguration(sized(640));
  EXPECT_FALSE(source->isRunning());
  stream.updateConfiguration(withAudio);
  EXPECT_TRUE(source->isRunning());
  stream.stopCapture();
  EXPECT_FALSE(source->isRunning());
  queue->shutdown();

  ScriptedStream silent(nullptr, nullptr);
  EXPECT_THROW(silent.addAudioOutput([](AudioSampleBuffer) {}, queue), CaptureStreamError);
}

}  // namespace
}  // namespace tavlo
