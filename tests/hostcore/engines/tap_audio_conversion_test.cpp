#include "hostcore/engines/tap_audio_conversion.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "platform/audio/synthetic_system_audio.hpp"

namespace vela {
namespace {

using tavlo::AudioSampleBuffer;
using tavlo::SyntheticSystemAudio;

std::vector<int16_t> samplesOf(const tavlo::Bytes& block) {
  std::vector<int16_t> samples(block.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(static_cast<uint16_t>(block[2 * i] | (block[2 * i + 1] << 8)));
  }
  return samples;
}

AudioSampleBuffer interleaved(const std::vector<float>& samples, uint32_t channels) {
  return SyntheticSystemAudio::floatBlock(samples, channels, false);
}

// The same samples with a few bytes more than whole floats, and a frame count that lies.
AudioSampleBuffer withTrailingBytesAndAWrongCount() {
  auto block = interleaved({0.5f, -0.5f, 0.25f}, 2);
  block.buffers[0].data.push_back(0x7F);
  block.buffers[0].data.push_back(0x7F);
  block.frameCount = 1000;
  return block;
}

struct ConversionCase {
  const char* why;
  AudioSampleBuffer input;
  std::vector<int16_t> expected;  // interleaved left, right
};

TEST(TapAudioConversion, TruncatesClampsAndLaysOutStereoFromTheFirstBuffer) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<ConversionCase> cases = {
      {"truncation toward zero: 0.25 → 8191 (rounding would give 8192), -1.0 → -32767",
       interleaved({0.25f, -1.0f}, 2), {8191, -32767}},
      {"negative values truncate toward zero too: -0.25 → -8191", interleaved({-0.25f, 0.0f}, 2), {-8191, 0}},
      {"beyond full scale clamps: 2.0 → 32767, -2.0 → -32768", interleaved({2.0f, -2.0f}, 2), {32767, -32768}},
      {"a NaN becomes 32767 and never reaches the integer conversion", interleaved({nan, -nan}, 2), {32767, 32767}},
      {"infinities clamp", interleaved({inf, -inf}, 2), {32767, -32768}},
      {"one channel is duplicated", interleaved({0.5f, -0.5f}, 1), {16383, 16383, -16383, -16383}},
      {"four channels keep 0 and 1 of each frame", interleaved({0.1f, 0.2f, 0.9f, 0.9f, -0.1f, -0.2f, 0.9f, 0.9f}, 4),
       {3276, 6553, -3276, -6553}},
      {"a planar cycle is read from its first buffer only, as one channel",
       SyntheticSystemAudio::floatBlock({0.5f, -0.25f, 0.75f, 0.0f}, 2, true), {16383, 16383, 24575, 24575}},
      {"only whole floats and whole frames of the buffer are read, whatever the frame count says",
       withTrailingBytesAndAWrongCount(), {16383, -16383}},
      {"fewer samples than channels give an empty block", interleaved({0.5f}, 2), {}},
  };
  for (const auto& row : cases) {
    auto block = convertTapInput(row.input);
    ASSERT_TRUE(block) << row.why;
    EXPECT_EQ(block->size(), row.expected.size() * 2) << row.why;
    EXPECT_EQ(samplesOf(*block), row.expected) << row.why;
  }
}

TEST(TapAudioConversion, WritesLittleEndianSamples) {
  auto block = convertTapInput(interleaved({-1.0f, 0.5f}, 2));
  ASSERT_TRUE(block);
  // -32767 = 0x8001, 16383 = 0x3FFF.
  EXPECT_EQ(*block, (tavlo::Bytes{0x01, 0x80, 0xFF, 0x3F}));
}

AudioSampleBuffer withoutBuffers() {
  auto block = interleaved({0.1f, 0.1f}, 2);
  block.buffers.clear();
  return block;
}

AudioSampleBuffer withEmptyFirstBuffer() {
  auto block = SyntheticSystemAudio::floatBlock({0.1f, 0.2f}, 2, true);
  block.buffers[0].data.clear();
  return block;
}

AudioSampleBuffer withThreeBytes() {
  auto block = interleaved({0.1f}, 1);
  block.buffers[0].data.pop_back();
  return block;
}

TEST(TapAudioConversion, DropsCyclesWithoutAUsableFirstBuffer) {
  const std::vector<std::pair<const char*, AudioSampleBuffer>> cases = {
      {"no buffer at all", withoutBuffers()},
      {"a first buffer without data (the second is not looked at)", withEmptyFirstBuffer()},
      {"fewer than four bytes", withThreeBytes()},
      {"integer samples would be noise read as floats", SyntheticSystemAudio::int16Block({100, -100, 5, 5}, 2)},
  };
  for (const auto& [why, input] : cases) EXPECT_FALSE(convertTapInput(input)) << why;
}

}  // namespace
}  // namespace vela
