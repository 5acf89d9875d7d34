#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "media/opus_decoder.hpp"
#include "media/opus_encoder.hpp"
#include "media/opus_format.hpp"

namespace vela {
namespace {

Bytes silence(size_t bytes) { return Bytes(bytes, 0); }

// Interleaved 16-bit PCM: a sine of `hz` on every channel.
Bytes sine(double hz, int channels, int samples, double amplitude = 12000) {
  Bytes pcm(static_cast<size_t>(samples) * static_cast<size_t>(channels) * 2);
  for (int i = 0; i < samples; ++i) {
    const auto value = static_cast<int16_t>(amplitude * std::sin(2 * std::numbers::pi * hz * i / 48000.0));
    for (int c = 0; c < channels; ++c) std::memcpy(&pcm[(static_cast<size_t>(i) * channels + c) * 2], &value, 2);
  }
  return pcm;
}

std::vector<int16_t> samplesOf(ByteView pcm) {
  std::vector<int16_t> samples(pcm.size() / 2);
  std::memcpy(samples.data(), pcm.data(), samples.size() * 2);
  return samples;
}

TEST(OpusEncoder, BuffersInputIntoWhole20msFrames) {
  struct Step { size_t bytesIn; size_t packetsOut; size_t pendingAfter; };
  struct Row { const char* why; int channels; std::vector<Step> steps; };
  const Row rows[] = {
      {"stereo: 3,000 bytes are less than a 3,840-byte frame; 1,000 more complete one", 2,
       {{3000, 0, 3000}, {1000, 1, 160}}},
      {"mono: 7,680 bytes at once are four 1,920-byte frames", 1, {{7680, 4, 0}}},
      {"an empty block changes nothing", 1, {{100, 0, 100}, {0, 0, 100}}},
      {"remainders add up across calls", 1, {{1919, 0, 1919}, {1, 1, 0}, {5000, 2, 1160}}},
  };
  for (const Row& row : rows) {
    auto encoder = OpusEncoder::create(row.channels, 64'000);
    ASSERT_TRUE(encoder) << row.why;
    for (const Step& step : row.steps) {
      auto packets = encoder->encode(silence(step.bytesIn));
      EXPECT_EQ(packets.size(), step.packetsOut) << row.why;
      EXPECT_EQ(encoder->pendingBytes(), step.pendingAfter) << row.why;
      for (const Bytes& packet : packets) EXPECT_FALSE(packet.empty()) << row.why;
    }
  }
}

TEST(OpusEncoder, RefusesWhatLibopusRefuses) {
  EXPECT_FALSE(OpusEncoder::create(0, 64'000));
  EXPECT_FALSE(OpusEncoder::create(3, 64'000));
  EXPECT_FALSE(OpusEncoder::create(2, 0));
  EXPECT_FALSE(OpusEncoder::create(2, -1));
  EXPECT_TRUE(OpusEncoder::create(2, 256'000));
  // A rate beyond int32 is capped by libopus, not wrapped into a negative one.
  EXPECT_TRUE(OpusEncoder::create(1, int64_t{1} << 40));
  EXPECT_FALSE(OpusDecoder::create(0));
  EXPECT_FALSE(OpusDecoder::create(3));
}

// Joins 20-ms single-frame packets into one code-3 packet (frame count byte, VBR frame lengths).
Bytes joinFrames(const std::vector<Bytes>& packets) {
  Bytes joined{static_cast<uint8_t>(packets[0][0] | 0x03), static_cast<uint8_t>(0x80 | packets.size())};
  for (size_t i = 0; i + 1 < packets.size(); ++i) {
    const size_t length = packets[i].size() - 1;
    EXPECT_LT(length, 252u);
    joined.push_back(static_cast<uint8_t>(length));
  }
  for (const Bytes& packet : packets) joined.insert(joined.end(), packet.begin() + 1, packet.end());
  return joined;
}

TEST(OpusDecoder, A20msPacketDecodesTo960FramesAndPacketsUpTo40msAreTaken) {
  for (int channels : {1, 2}) {
    SCOPED_TRACE(std::to_string(channels) + " channels");
    auto encoder = OpusEncoder::create(channels, 32'000);
    auto decoder = OpusDecoder::create(channels);
    ASSERT_TRUE(encoder && decoder);
    auto packets = encoder->encode(sine(440, channels, 960 * 3));
    ASSERT_EQ(packets.size(), 3u);
    for (const Bytes& packet : packets) ASSERT_EQ(packet[0] & 0x03, 0) << "single-frame packets";
    const size_t frameBytes = 2 * static_cast<size_t>(channels);
    EXPECT_EQ(decoder->decode(packets[0]).value_or(Bytes{}).size(), 960 * frameBytes);
    EXPECT_EQ(decoder->decode(joinFrames({packets[1], packets[2]})).value_or(Bytes{}).size(), 1920 * frameBytes);
    EXPECT_FALSE(decoder->decode(joinFrames(packets))) << "60 ms does not fit the 40-ms buffer";
  }
}

TEST(OpusDecoder, BadPacketsGiveNoPcmAndTheNextGoodOneDecodes) {
  auto encoder = OpusEncoder::create(2, 128'000);
  auto decoder = OpusDecoder::create(2);
  ASSERT_TRUE(encoder && decoder);
  auto packets = encoder->encode(sine(1000, 2, 960 * 2));
  ASSERT_EQ(packets.size(), 2u);
  struct Row { const char* why; Bytes packet; };
  const Row rows[] = {
      {"empty: libopus would invent concealment audio", {}},
      {"code 3 with a frame count of 0", {0xFB, 0x00}},
      {"code 2 whose first frame is longer than the packet", {0xFA, 0xFF, 0x01}},
      {"code 3 frame count of 49 (over 120 ms)", {0xFB, 0x31}},
  };
  ASSERT_TRUE(decoder->decode(packets[0]));
  for (const Row& row : rows) EXPECT_FALSE(decoder->decode(row.packet)) << row.why;
  EXPECT_TRUE(decoder->decode(packets[1]));
}

TEST(OpusCodec, SineRoundTripCorrelatesWithItsInputAfterTheCodecDelay) {
  constexpr int kChannels = 2;
  constexpr int kSamples = 48000 / 2;  // half a second
  auto encoder = OpusEncoder::create(kChannels, 128'000);
  auto decoder = OpusDecoder::create(kChannels);
  ASSERT_TRUE(encoder && decoder);
  Bytes input = sine(440, kChannels, kSamples);

  // Odd block sizes, as capture delivers them.
  Bytes output;
  for (size_t offset = 0; offset < input.size();) {
    const size_t block = std::min<size_t>(1764, input.size() - offset);
    for (const Bytes& packet : encoder->encode(ByteView(input).subspan(offset, block))) {
      auto pcm = decoder->decode(packet);
      ASSERT_TRUE(pcm);
      output.insert(output.end(), pcm->begin(), pcm->end());
    }
    offset += block;
  }
  EXPECT_EQ(output.size(), input.size() / OpusFormat::frameBytes(kChannels) * OpusFormat::frameBytes(kChannels));

  const std::vector<int16_t> in = samplesOf(input);
  const std::vector<int16_t> out = samplesOf(output);
  const int delay = encoder->lookaheadSamples();
  ASSERT_GT(delay, 0);
  auto correlation = [&](int lag, int channel) {
    double xy = 0, xx = 0, yy = 0;
    const int frames = static_cast<int>(out.size()) / kChannels - lag;
    for (int i = 4800; i < frames; ++i) {  // past the codec's start-up
      const double x = in[static_cast<size_t>(i * kChannels + channel)];
      const double y = out[static_cast<size_t>((i + lag) * kChannels + channel)];
      xy += x * y;
      xx += x * x;
      yy += y * y;
    }
    return xy / std::sqrt(xx * yy);
  };
  for (int channel = 0; channel < kChannels; ++channel) {
    EXPECT_GT(correlation(delay, channel), 0.99) << "channel " << channel << " at the codec delay";
    // A quarter period off (27 samples at 440 Hz) the sine is nearly orthogonal: the delay is the one.
    EXPECT_LT(std::abs(correlation(delay + 27, channel)), 0.2) << "channel " << channel;
  }
}

}  // namespace
}  // namespace vela
