#include "hostcore/engines/captured_audio_converter.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/audio/synthetic_system_audio.hpp"

namespace vela {
namespace {

using tavlo::AudioSampleBuffer;
using tavlo::SyntheticSystemAudio;

std::vector<int16_t> pairsOf(const tavlo::Bytes& block) {
  std::vector<int16_t> samples(block.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(static_cast<uint16_t>(block[2 * i] | (block[2 * i + 1] << 8)));
  }
  return samples;
}

struct ConversionCase {
  const char* why;
  AudioSampleBuffer input;
  std::vector<int16_t> expected;  // interleaved left, right
};

TEST(CapturedAudioConverter, ConvertsFloatInputOfEveryLayoutToInterleavedStereo) {
  const std::vector<ConversionCase> cases = {
      {"interleaved stereo rounds to nearest: 0.25 → 8192, -1.0 → -32767",
       SyntheticSystemAudio::floatBlock({0.25f, -1.0f}, 2, false), {8192, -32767}},
      {"full scale clips: 2.0 → 32767, -1.5 → -32768", SyntheticSystemAudio::floatBlock({2.0f, -1.5f}, 2, false),
       {32767, -32768}},
      {"mono is duplicated into both channels", SyntheticSystemAudio::floatBlock({0.5f, -0.5f, 1.0f}, 1, false),
       {16384, 16384, -16384, -16384, 32767, 32767}},
      {"six interleaved channels keep only the first two",
       SyntheticSystemAudio::floatBlock({0.1f, 0.2f, 0.9f, 0.9f, 0.9f, 0.9f, -0.1f, -0.2f, 0.9f, 0.9f, 0.9f, 0.9f}, 6,
                                        false),
       {3277, 6553, -3277, -6553}},
      {"planar stereo takes left from the first buffer and right from the second",
       SyntheticSystemAudio::floatBlock({0.5f, -0.25f, 0.75f, 0.0f}, 2, true), {16384, -8192, 24575, 0}},
      {"planar mono with its one buffer is duplicated", SyntheticSystemAudio::floatBlock({0.5f, -0.5f}, 1, true),
       {16384, 16384, -16384, -16384}},
  };
  for (const auto& row : cases) {
    CapturedAudioConverter converter;
    auto result = converter.convertAudioToInt16(row.input);
    ASSERT_TRUE(result.block) << row.why;
    EXPECT_EQ(result.block->size(), static_cast<size_t>(row.input.frameCount) * 4) << row.why;
    EXPECT_EQ(pairsOf(*result.block), row.expected) << row.why;
    EXPECT_FALSE(result.logLine) << row.why;
  }
}

AudioSampleBuffer withoutFormat() {
  auto block = SyntheticSystemAudio::floatBlock({0.1f, 0.1f}, 2, false);
  block.format.reset();
  return block;
}

AudioSampleBuffer withoutBufferList() {
  auto block = SyntheticSystemAudio::floatBlock({0.1f, 0.1f}, 2, false);
  block.buffers.clear();
  block.bufferListError = "brak pamięci";
  return block;
}

AudioSampleBuffer emptyBlock() {
  auto block = SyntheticSystemAudio::floatBlock({0.1f, 0.1f}, 2, false);
  block.frameCount = 0;
  return block;
}

// A planar description of two channels whose list holds only the first channel's buffer: reading it with a
// stride of two would run past its end.
AudioSampleBuffer planarWithOneBuffer() {
  auto block = SyntheticSystemAudio::floatBlock({0.1f, 0.2f, 0.3f, 0.4f}, 2, true);
  block.buffers.pop_back();
  return block;
}

// A block that claims more frames than its buffer holds.
AudioSampleBuffer shortBuffer() {
  auto block = SyntheticSystemAudio::floatBlock({0.1f, 0.2f, 0.3f, 0.4f}, 2, false);
  block.frameCount = 3;
  return block;
}

AudioSampleBuffer bufferWithoutData() {
  auto block = SyntheticSystemAudio::floatBlock({0.1f, 0.2f}, 2, false);
  block.buffers[0].data.clear();
  return block;
}

struct FailureCase {
  const char* why;
  AudioSampleBuffer input;
  const char* logLine;  // nullptr: nothing to log
};

TEST(CapturedAudioConverter, YieldsNothingForInputItCannotReadAndLogsTheFirstFailureOnly) {
  const std::vector<FailureCase> cases = {
      {"no format description", withoutFormat(), "🔊 nil: brak format description"},
      {"the buffer list cannot be had", withoutBufferList(), "🔊 nil: withAudioBufferList brak pamięci"},
      {"a sample count of 0 is silently empty", emptyBlock(), nullptr},
      {"integer samples", SyntheticSystemAudio::int16Block({100, -100}, 2),
       "🔊 format nieobsłużony float=false planar=false"},
      {"a planar description with one buffer for two channels", planarWithOneBuffer(),
       "🔊 format nieobsłużony float=true planar=true"},
      {"a buffer shorter than the frame count", shortBuffer(), "🔊 format nieobsłużony float=true planar=false"},
      {"a buffer without data", bufferWithoutData(), "🔊 format nieobsłużony float=true planar=false"},
  };
  for (const auto& row : cases) {
    CapturedAudioConverter converter;
    auto first = converter.convertAudioToInt16(row.input);
    EXPECT_FALSE(first.block) << row.why;
    if (row.logLine) {
      EXPECT_EQ(first.logLine, std::optional<std::string>(row.logLine)) << row.why;
    } else {
      EXPECT_FALSE(first.logLine) << row.why;
    }
    // Once a failure of any kind has been logged, no other is.
    auto later = converter.convertAudioToInt16(withoutFormat());
    EXPECT_FALSE(later.block);
    EXPECT_EQ(later.logLine.has_value(), row.logLine == nullptr) << row.why;
  }
}

TEST(CapturedAudioConverter, ScratchOnlyGrows) {
  CapturedAudioConverter converter;
  converter.convertAudioToInt16(SyntheticSystemAudio::floatBlock(std::vector<float>(960, 0.1f), 2, false));
  EXPECT_EQ(converter.scratchSize(), 480u);
  auto small = converter.convertAudioToInt16(SyntheticSystemAudio::floatBlock({0.5f, 0.5f}, 2, false));
  EXPECT_EQ(converter.scratchSize(), 480u);
  ASSERT_TRUE(small.block);
  EXPECT_EQ(pairsOf(*small.block), (std::vector<int16_t>{16384, 16384}));
}

}  // namespace
}  // namespace vela
