// The encode queue's per-frame geometry work: the HQ downscale of a full 2360×1640 backing to a
// 1572×1092 stream and the soft filter at that stream size (target: at most 5 ms a pass each), and the
// memory of a 60 s synthetic session at 60 fps whose stream size changes every 5 s (pools and
// conversions are replaced, not accumulated): its peak resident size is printed against the one after a
// first 5 s stretch of the same run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <memory>

#include "hostcore/session/frame_downscaler.hpp"

namespace vela {
namespace {

constexpr int32_t kBackingW = 2360, kBackingH = 1640;
constexpr int32_t kStreamW = 1572, kStreamH = 1092;

// A frame with something to average: a ramp in both planes, changing every pixel.
FrameDownscaler::Frame rampFrame(int32_t w, int32_t h) {
  auto frame = tavlo::Nv12Buffer::make(w, h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) frame->lumaPlane()[y * frame->lumaStride() + x] = static_cast<uint8_t>(16 + (x * 7 + y * 3) % 220);
  for (int32_t y = 0; y < frame->chromaHeight(); ++y)
    for (int32_t x = 0; x < 2 * frame->chromaWidth(); ++x)
      frame->chromaPlane()[y * frame->chromaStride() + x] = static_cast<uint8_t>(16 + (x + y) % 224);
  return frame;
}

void BM_HqDownscale2360x1640To1572x1092(benchmark::State& state) {
  FrameDownscaler downscaler;
  auto full = rampFrame(kBackingW, kBackingH);
  for (auto _ : state) {
    auto coded = downscaler.hqDownscaled(full, kStreamW, kStreamH);
    benchmark::DoNotOptimize(coded.get());
  }
  state.SetLabel("target ≤ 5 ms/frame");
}
BENCHMARK(BM_HqDownscale2360x1640To1572x1092)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SoftFilter1572x1092(benchmark::State& state) {
  FrameDownscaler downscaler;
  auto frame = rampFrame(kStreamW, kStreamH);
  const auto permille = state.range(0);
  for (auto _ : state) {
    auto soft = downscaler.softFiltered(frame, permille, true);
    benchmark::DoNotOptimize(soft.get());
  }
  state.SetLabel("permille " + std::to_string(permille) + ", target ≤ 5 ms/frame");
}
BENCHMARK(BM_SoftFilter1572x1092)->Arg(500)->Arg(750)->Unit(benchmark::kMillisecond)->UseRealTime();

long peakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// 60 s at 60 fps through both passes, the stream size changing every 5 s through twelve sizes.
void BM_SessionWithAResizeEvery5s(benchmark::State& state) {
  constexpr int kFps = 60, kSeconds = 60, kResizeEverySeconds = 5;
  auto full = rampFrame(kBackingW, kBackingH);
  long afterFirstSize = 0, peak = 0;
  for (auto _ : state) {
    FrameDownscaler downscaler;
    for (int frame = 0; frame < kFps * kSeconds; ++frame) {
      int step = frame / (kFps * kResizeEverySeconds);
      int32_t w = (kStreamW - 64 * step) & ~1, h = (kStreamH - 40 * step) & ~1;
      auto coded = downscaler.hqDownscaled(full, w, h);
      auto soft = downscaler.softFiltered(coded, 600, true);
      benchmark::DoNotOptimize(soft.get());
      if (frame == kFps * kResizeEverySeconds - 1) afterFirstSize = peakRssKb();
    }
    peak = peakRssKb();
  }
  state.counters["rss_after_first_5s_MB"] = static_cast<double>(afterFirstSize) / 1024.0;
  state.counters["peak_rss_MB"] = static_cast<double>(peak) / 1024.0;
  std::printf("session 60 s, resize every 5 s: peak RSS %.1f MB (after the first 5 s: %.1f MB)\n", peak / 1024.0,
              afterFirstSize / 1024.0);
}
BENCHMARK(BM_SessionWithAResizeEvery5s)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace vela
