// Opus cost per 20-ms stereo frame at the session's top bitrates: encode, and decode of the packets
// that encode made. Time per iteration is the cost of one frame.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "media/opus_decoder.hpp"
#include "media/opus_encoder.hpp"
#include "media/opus_format.hpp"

namespace vela {
namespace {

constexpr int kChannels = 2;
constexpr int kFrames = 50;  // one second of audio, cycled

// A chord with a slow tremolo and a little noise: closer to music than a pure tone, which Opus codes
// unusually cheaply.
Bytes musicLikePcm() {
  Bytes pcm(OpusFormat::frameBytes(kChannels) * kFrames);
  uint32_t noise = 12345;
  for (size_t i = 0; i < pcm.size() / 4; ++i) {
    const double t = static_cast<double>(i) / OpusFormat::kSampleRate;
    const double tremolo = 0.6 + 0.4 * std::sin(2 * std::numbers::pi * 3 * t);
    noise = noise * 1664525 + 1013904223;
    for (int c = 0; c < kChannels; ++c) {
      const double tone = std::sin(2 * std::numbers::pi * (220.0 + 110.0 * c) * t) +
                          0.5 * std::sin(2 * std::numbers::pi * 277.18 * t) +
                          0.3 * std::sin(2 * std::numbers::pi * 329.63 * t);
      const auto value = static_cast<int16_t>(6000 * tremolo * tone + static_cast<int>(noise >> 24) - 128);
      std::memcpy(&pcm[(i * kChannels + c) * 2], &value, 2);
    }
  }
  return pcm;
}

void BM_OpusEncodeStereo20ms(benchmark::State& state) {
  auto encoder = OpusEncoder::create(kChannels, state.range(0));
  const Bytes pcm = musicLikePcm();
  const size_t frameBytes = OpusFormat::frameBytes(kChannels);
  size_t frame = 0, packetBytes = 0;
  for (auto _ : state) {
    auto packets = encoder->encode(ByteView(pcm).subspan(frame * frameBytes, frameBytes));
    packetBytes += packets.empty() ? 0 : packets[0].size();
    benchmark::DoNotOptimize(packets);
    frame = (frame + 1) % kFrames;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["packetBytes"] = static_cast<double>(packetBytes) / static_cast<double>(state.iterations());
  state.SetLabel("time per iteration = one 20-ms stereo frame");
}
BENCHMARK(BM_OpusEncodeStereo20ms)->Arg(128'000)->Arg(256'000)->Unit(benchmark::kMicrosecond);

void BM_OpusDecodeStereo20ms(benchmark::State& state) {
  auto encoder = OpusEncoder::create(kChannels, state.range(0));
  auto packets = encoder->encode(musicLikePcm());
  auto decoder = OpusDecoder::create(kChannels);
  size_t next = 0;
  for (auto _ : state) {
    auto pcm = decoder->decode(packets[next]);
    benchmark::DoNotOptimize(pcm);
    next = (next + 1) % packets.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("time per iteration = one 20-ms stereo packet");
}
BENCHMARK(BM_OpusDecodeStereo20ms)->Arg(128'000)->Arg(256'000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vela
