#include "hostcore/engines/audio_tap_engine.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <mutex>
#include <vector>

#include "hostcore/engines/tap_audio_conversion.hpp"
#include "platform/audio/synthetic_system_audio.hpp"
#include "tests/hostcore/engines/log_recorder.hpp"

namespace vela {
namespace {

using tavlo::AudioSampleBuffer;
using tavlo::SyntheticSystemAudio;

// The synthetic system audio, counting what the engine asks of it and keeping its handler so that a
// test can hand over cycles of any shape.
class CountingSource final : public tavlo::SystemAudioSource {
 public:
  explicit CountingSource(SyntheticSystemAudio::Options options = {})
      : synthetic(std::make_shared<SyntheticSystemAudio>(std::move(options))) {}

  std::optional<std::string> start(BlockHandler onBlock) override {
    ++starts;
    handler = onBlock;
    return synthetic->start(std::move(onBlock));
  }
  void stop() override {
    ++stops;
    synthetic->stop();
  }

  std::shared_ptr<SyntheticSystemAudio> synthetic;
  BlockHandler handler;
  int starts = 0;
  int stops = 0;
};

std::string currentThreadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
}

class AudioTapEngineTest : public ::testing::Test {
 protected:
  std::shared_ptr<AudioTapEngine> makeEngine(AudioTapEngine::AudioCallback onAudio = nullptr) {
    if (!onAudio) {
      onAudio = [this](const tavlo::Bytes& block) {
        std::lock_guard guard(mutex_);
        blocks_.push_back(block);
        threads_.push_back(currentThreadName());
      };
    }
    return AudioTapEngine::create(source_, std::move(onAudio), systemLog_.sink());
  }
  std::vector<tavlo::Bytes> blocks() {
    std::lock_guard guard(mutex_);
    return blocks_;
  }

  std::shared_ptr<CountingSource> source_ = std::make_shared<CountingSource>();
  LogRecorder systemLog_;
  std::mutex mutex_;
  std::vector<tavlo::Bytes> blocks_;
  std::vector<std::string> threads_;
};

TEST_F(AudioTapEngineTest, DeliversEveryCycleConvertedOnItsQueueInOrder) {
  auto engine = makeEngine();
  ASSERT_TRUE(engine->start());
  EXPECT_TRUE(engine->isRunning());
  EXPECT_TRUE(source_->synthetic->isRunning());
  EXPECT_EQ(source_->synthetic->deliverBlocks(3), 3);
  engine->flush();

  // The same tone, made again, converted here.
  SyntheticSystemAudio again;
  std::vector<tavlo::Bytes> expected;
  for (int i = 0; i < 3; ++i) expected.push_back(*convertTapInput(again.nextBlock()));
  EXPECT_EQ(blocks(), expected);
  EXPECT_EQ(blocks()[0].size(), 480u * 4);
  EXPECT_EQ(threads_, std::vector<std::string>(3, "vela.audio.tap"));
  EXPECT_TRUE(systemLog_.lines().empty());
}

TEST_F(AudioTapEngineTest, DropsCyclesWithoutAUsableFirstBufferSilently) {
  auto engine = makeEngine();
  ASSERT_TRUE(engine->start());
  source_->handler(AudioSampleBuffer{});
  source_->handler(SyntheticSystemAudio::floatBlock({0.25f, -1.0f}, 2, false));
  engine->flush();
  ASSERT_EQ(blocks().size(), 1u);
  EXPECT_EQ(blocks()[0], (tavlo::Bytes{0xFF, 0x1F, 0x01, 0x80}));  // 8191, -32767
}

TEST_F(AudioTapEngineTest, StopDropsCyclesStillQueuedSoTheCallbackFallsQuiet) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  int calls = 0;
  auto engine = makeEngine([&](const tavlo::Bytes&) {
    if (++calls == 1) {
      entered.set_value();
      released.wait();
    }
  });
  ASSERT_TRUE(engine->start());
  source_->synthetic->deliverBlocks(3);  // the first is being delivered, two wait on the queue
  entered.get_future().wait();
  engine->stop();
  release.set_value();
  engine->flush();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(engine->isRunning());
  EXPECT_FALSE(source_->synthetic->isRunning());
  EXPECT_EQ(source_->synthetic->deliverBlocks(1), 0);
}

TEST_F(AudioTapEngineTest, StopIsIdempotentAndTouchesNothingWhenTheTapNeverRan) {
  auto never = makeEngine();
  never->stop();
  EXPECT_EQ(source_->stops, 0);

  auto engine = makeEngine();
  ASSERT_TRUE(engine->start());
  engine->stop();
  engine->stop();
  EXPECT_EQ(source_->starts, 1);
  EXPECT_EQ(source_->stops, 1);
}

TEST_F(AudioTapEngineTest, AStartThatFailsLeavesNothingRunningAndWritesTheSystemLogLine) {
  source_ = std::make_shared<CountingSource>(SyntheticSystemAudio::Options{.unavailable = "no audio server"});
  auto engine = makeEngine();
  EXPECT_FALSE(engine->start());
  EXPECT_FALSE(engine->isRunning());
  EXPECT_EQ(systemLog_.lines(), std::vector<std::string>{"Tavlo: przechwytywanie dźwięku systemu nieudane (no audio server)"});
  engine->stop();
  EXPECT_EQ(source_->stops, 0);
}

TEST_F(AudioTapEngineTest, ReleasingARunningEngineStopsItsSource) {
  auto engine = makeEngine();
  ASSERT_TRUE(engine->start());
  auto handler = source_->handler;
  engine.reset();
  EXPECT_FALSE(source_->synthetic->isRunning());
  // A cycle the source was still handing over finds the engine gone and does nothing.
  handler(SyntheticSystemAudio::floatBlock({0.5f, 0.5f}, 2, false));
  EXPECT_TRUE(blocks().empty());
}

}  // namespace
}  // namespace vela
