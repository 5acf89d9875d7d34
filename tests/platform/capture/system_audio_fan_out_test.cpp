// One system audio source under several capture streams: it runs while anyone listens, every listener
// gets every block, and one leaving does not silence the others.
#include "platform/capture/system_audio_fan_out.hpp"

#include <gtest/gtest.h>

#include "platform/audio/synthetic_system_audio.hpp"

namespace tavlo {
namespace {

SystemAudioFanOut::Subscriber counting(int& count) {
  return std::make_shared<SystemAudioSource::BlockHandler>([&count](const AudioSampleBuffer&) { ++count; });
}

TEST(SystemAudioFanOut, RunsTheSourceWhileAnyoneListensAndGivesEveryBlockToEachListener) {
  auto source = std::make_shared<SyntheticSystemAudio>();
  auto fanOut = SystemAudioFanOut::create(source);
  int first = 0, second = 0;
  auto a = fanOut->subscribe(counting(first));
  auto b = fanOut->subscribe(counting(second));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(source->startCount(), 1);
  source->deliverBlocks(3);
  EXPECT_EQ(first, 3);
  EXPECT_EQ(second, 3);

  fanOut->unsubscribe(*a);
  EXPECT_TRUE(source->isRunning());
  source->deliverBlocks(2);
  EXPECT_EQ(first, 3);
  EXPECT_EQ(second, 5);
  fanOut->unsubscribe(*a);  // twice: ignored
  fanOut->unsubscribe(*b);
  EXPECT_FALSE(source->isRunning());

  auto again = fanOut->subscribe(counting(first));
  ASSERT_TRUE(again);
  EXPECT_EQ(source->startCount(), 2);
}

TEST(SystemAudioFanOut, ASourceThatCannotStartAddsNoListener) {
  SyntheticSystemAudio::Options options;
  options.unavailable = "no audio server";
  auto source = std::make_shared<SyntheticSystemAudio>(options);
  auto fanOut = SystemAudioFanOut::create(source);
  int count = 0;
  std::string error;
  EXPECT_FALSE(fanOut->subscribe(counting(count), &error));
  EXPECT_EQ(error, "no audio server");
  EXPECT_EQ(SystemAudioFanOut::create(nullptr), nullptr);
}

}  // namespace
}  // namespace tavlo
