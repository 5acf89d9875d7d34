// Conversion of one 10-ms block of captured system audio (480 stereo float frames) to the session's
// 16-bit block: the tap engine's conversion (truncating) and the capture engine's (rounding, through its
// scratch buffer), side by side. Time per iteration is the cost of one block; the budget is 5 µs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "hostcore/engines/captured_audio_converter.hpp"
#include "hostcore/engines/tap_audio_conversion.hpp"
#include "platform/audio/synthetic_system_audio.hpp"

namespace vela {
namespace {

constexpr int kFrames = 480;

tavlo::AudioSampleBuffer toneBlock() {
  std::vector<float> samples;
  for (int i = 0; i < kFrames; ++i) {
    const auto value = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000 * i / 48000.0));
    samples.push_back(value);
    samples.push_back(-value);
  }
  return tavlo::SyntheticSystemAudio::floatBlock(samples, 2, false);
}

void BM_TapConversion480Frames(benchmark::State& state) {
  const auto block = toneBlock();
  for (auto _ : state) {
    auto converted = convertTapInput(block);
    benchmark::DoNotOptimize(converted);
  }
  state.SetLabel("time per iteration = one block of 480 stereo frames");
}
BENCHMARK(BM_TapConversion480Frames)->Unit(benchmark::kMicrosecond);

void BM_CapturedConversion480Frames(benchmark::State& state) {
  const auto block = toneBlock();
  CapturedAudioConverter converter;
  for (auto _ : state) {
    auto converted = converter.convertAudioToInt16(block);
    benchmark::DoNotOptimize(converted);
  }
  state.SetLabel("time per iteration = one block of 480 stereo frames");
}
BENCHMARK(BM_CapturedConversion480Frames)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vela
