// HEVC encoding on x265 through the encoder engine, with the per-frame rate control on: milliseconds per
// frame (p50, p99) at 1280×720, 1920×1080 and 2560×1600, and the engine's overhead (the engine, its
// compression session's worker and output threads, the chroma split) against calling x265 directly
// (X265Encoder: x265_encoder_encode and a copy of its output, plus the same chroma split) on the same
// frames with the QP and keyframes the rate control chose, in the same run, frame by frame in turn
// (target ratio ≤ 1.05; printed for the means and the medians). Frames are submitted one at a time: a
// frame's time runs from encode() to its onFrame. The engine's side also pays for the keyframes that
// the rate control codes a second time to fit the burst cap.
//
// The direct side also runs with the preset's thread set-up (the host's before) on the same frames:
// direct_preset_p50/p99.
//
// Threading: x265 directly at 1920×1080 with each candidate thread set-up (the preset's, the host's
// steady one, pools of half the cores and of two, one thread without wavefront), frame by frame in
// turn on the same frames at the same QP, so that load on the machine falls on all alike: p50/p95/p99
// in ms for each, keyframes apart.
//
// Rate control: the achieved bitrate over 5 s of busy synthetic content at 4 and 12 Mbit/s (target
// ±15 %), the time after a step from 12 to 4 Mbit/s until the trailing second is back within ±15 % of
// the new target (target ≤ 2 s), and the frames coded outside the engine's QP limits (target 0).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hostcore/engines/encoder_engine.hpp"
#include "platform/encoder/x265_backend.hpp"
#include "platform/encoder/x265_encoder.hpp"
#include "tests/testkit/busy_screen.hpp"

namespace tavlo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFps = 60;
constexpr int kFrames = 240;
// Keyframes in the encode-time runs; the rate-control runs keep to the first one (the engine's longest
// interval), so that a step shows as a step and not as a keyframe's burst.
constexpr double kKeyframeSeconds = 2.0;
constexpr double kRateControlKeyframeSeconds = vela::EncoderEngine::kMaxKeyframeSec;
// The streams run at about this many bits per pixel and frame (12.4 Mbit/s at 1080p60).
constexpr double kBitsPerPixel = 0.1;
// Distinct frames painted up front and reused: enough that the content keeps moving.
constexpr int kPaintedFrames = 32;

double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * double(values.size())));
  return values[index];
}

double mean(const std::vector<double>& values) {
  double sum = 0;
  for (double v : values) sum += v;
  return sum / double(values.size());
}

// x265 sessions whose coded frames (QP, size, keyframe) are recorded.
class RecordingBackend : public EncoderBackend {
 public:
  std::shared_ptr<CompressionSession> createSession(int32_t width, int32_t height,
                                                    const EncoderSpecification& requested) override {
    auto session = std::static_pointer_cast<X265Session>(inner_.createSession(width, height, requested));
    if (session) {
      session->setFrameObserver([this](const X265FrameReport& report) {
        std::lock_guard lock(mutex_);
        reports_.push_back(report);
      });
    }
    return session;
  }
  std::vector<X265FrameReport> reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }

 private:
  X265Backend inner_;
  std::mutex mutex_;
  std::vector<X265FrameReport> reports_;
};

// An engine on the recording backend whose frames the caller waits for one at a time.
struct EngineRun {
  std::shared_ptr<RecordingBackend> backend = std::make_shared<RecordingBackend>();
  std::shared_ptr<vela::EncoderEngine> engine;
  std::mutex mutex;
  std::condition_variable done;
  int64_t returned = 0;
  std::vector<int64_t> bytes;

  EngineRun(int width, int height, int64_t bitrate, double keyframeSeconds = kKeyframeSeconds) {
    engine = vela::EncoderEngine::create(backend, width, height, kFps, bitrate, keyframeSeconds,
                                         [this](const vela::EncodedFrame& frame) {
                                           std::lock_guard lock(mutex);
                                           bytes.push_back(static_cast<int64_t>(frame.avcc.size()));
                                           ++returned;
                                           done.notify_all();
                                         });
  }
  // Encodes one frame and waits for it; the milliseconds it took.
  double encode(const std::shared_ptr<Nv12Buffer>& image) {
    int64_t before;
    {
      std::lock_guard lock(mutex);
      before = returned;
    }
    const auto start = Clock::now();
    engine->encode(image, 0, false, false, {});
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return returned > before; });
    return msSince(start);
  }
};

std::vector<std::shared_ptr<Nv12Buffer>> paintFrames(int width, int height) {
  testkit::BusyScreen screen(width, height);
  std::vector<std::shared_ptr<Nv12Buffer>> frames;
  for (int i = 0; i < kPaintedFrames; ++i) {
    frames.push_back(Nv12Buffer::make(width, height));
    screen.paint(uint64_t(i), *frames.back());
  }
  return frames;
}

// Frame i of a run: the painted frames forward, then backward, so that the motion never jumps.
const std::shared_ptr<Nv12Buffer>& frameAt(const std::vector<std::shared_ptr<Nv12Buffer>>& frames, int i) {
  const int period = 2 * kPaintedFrames - 2;
  const int phase = i % period;
  return frames[size_t(phase < kPaintedFrames ? phase : period - phase)];
}

// Calling x265 directly: the chroma split x265 needs, then x265 with the given QP and keyframe.
double encodeDirectly(X265Encoder& encoder, const Nv12Buffer& image, std::vector<uint8_t>& chroma, int32_t qp,
                      bool keyframe, int64_t pts, X265Frame& out) {
  const auto start = Clock::now();
  encoder.encode(i420PlanesOf(image, chroma), qp, keyframe, pts, out);
  return msSince(start);
}

void BM_X265Encode(benchmark::State& state) {
  const int width = int(state.range(0));
  const int height = int(state.range(1));
  const auto bitrate = int64_t(kBitsPerPixel * width * height * kFps);
  const auto frames = paintFrames(width, height);
  std::vector<double> engineMs, directMs, presetMs;
  for (auto _ : state) {
    EngineRun run(width, height, bitrate);
    auto direct = X265Encoder::open(width, height, ColorDescription::bt709VideoRange());
    auto preset =
        X265Encoder::open(width, height, ColorDescription::bt709VideoRange(), X265Threading::presetDefault());
    if (!direct || !preset) {
      state.SkipWithError("x265 failed to open");
      return;
    }
    std::vector<uint8_t> chroma;
    X265Frame out;
    // Frame by frame, the engine and then x265 directly with the QP and keyframe the engine's rate
    // control chose for it: load on the machine falls on both alike.
    for (int i = 0; i < kFrames; ++i) {
      engineMs.push_back(run.encode(frameAt(frames, i)));
      const auto coded = run.backend->reports();
      if (coded.size() != size_t(i) + 1) {
        state.SkipWithError("the engine lost a frame");
        return;
      }
      const X265FrameReport& report = coded.back();
      directMs.push_back(
          encodeDirectly(*direct, *frameAt(frames, i), chroma, report.qp, report.keyframe, report.presentationTimeUs, out));
      presetMs.push_back(encodeDirectly(*preset, *frameAt(frames, i), chroma, report.qp, report.keyframe,
                                           report.presentationTimeUs, out));
    }
  }
  state.counters["engine_p50_ms"] = percentile(engineMs, 0.5);
  state.counters["engine_p99_ms"] = percentile(engineMs, 0.99);
  state.counters["direct_p50_ms"] = percentile(directMs, 0.5);
  state.counters["direct_p99_ms"] = percentile(directMs, 0.99);
  state.counters["direct_preset_p50_ms"] = percentile(presetMs, 0.5);
  state.counters["direct_preset_p99_ms"] = percentile(presetMs, 0.99);
  state.counters["engine_over_direct_mean"] = mean(engineMs) / mean(directMs);
  state.counters["engine_over_direct_p50"] = percentile(engineMs, 0.5) / percentile(directMs, 0.5);
  state.counters["bitrate_mbps"] = double(bitrate) / 1e6;
}

void BM_X265Threading(benchmark::State& state) {
  constexpr int kWidth = 1920, kHeight = 1080;
  constexpr int32_t kQP = 30;
  const auto frames = paintFrames(kWidth, kHeight);
  const int32_t half = std::max(2, int32_t(std::thread::hardware_concurrency()) / 2);
  const std::vector<std::pair<std::string, X265Threading>> setups = {
      {"preset", X265Threading::presetDefault()}, {"steady", X265Threading::steady()},
      {"pool" + std::to_string(half), {half, true, 0}}, {"pool2", {2, true, 0}}, {"one_thread", {1, false, 0}}};
  std::vector<std::vector<double>> pMs(setups.size()), keyMs(setups.size());
  for (auto _ : state) {
    std::vector<std::unique_ptr<X265Encoder>> encoders;
    for (const auto& setup : setups) {
      encoders.push_back(X265Encoder::open(kWidth, kHeight, ColorDescription::bt709VideoRange(), setup.second));
      if (!encoders.back()) {
        state.SkipWithError("x265 failed to open");
        return;
      }
    }
    std::vector<uint8_t> chroma;
    X265Frame out;
    for (int i = 0; i < kFrames; ++i) {
      const bool keyframe = i % int(kKeyframeSeconds * kFps) == 0;
      for (size_t k = 0; k < setups.size(); ++k) {
        const double ms = encodeDirectly(*encoders[k], *frameAt(frames, i), chroma, kQP, keyframe, i, out);
        (keyframe ? keyMs : pMs)[k].push_back(ms);
      }
    }
  }
  for (size_t k = 0; k < setups.size(); ++k) {
    const std::string& name = setups[k].first;
    state.counters[name + "_p50_ms"] = percentile(pMs[k], 0.5);
    state.counters[name + "_p95_ms"] = percentile(pMs[k], 0.95);
    state.counters[name + "_p99_ms"] = percentile(pMs[k], 0.99);
    state.counters[name + "_key_max_ms"] = percentile(keyMs[k], 1.0);
  }
}

// The bitrate of frames [first, first + count) in Mbit/s at kFps.
double mbps(const std::vector<int64_t>& bytes, size_t first, size_t count) {
  int64_t sum = 0;
  for (size_t i = first; i < first + count && i < bytes.size(); ++i) sum += bytes[i];
  return double(sum) * 8 / (double(count) / kFps) / 1e6;
}

void BM_X265RateControl(benchmark::State& state) {
  constexpr int kWidth = 1280, kHeight = 720;
  const auto frames = paintFrames(kWidth, kHeight);
  const int64_t minQP = vela::EncoderEngine::kInitialMinFrameQP;
  const int64_t maxQP = vela::EncoderEngine::kInitialMaxFrameQP;
  for (auto _ : state) {
    int64_t outsideLimits = 0;
    for (int64_t target : {4'000'000, 12'000'000}) {
      EngineRun run(kWidth, kHeight, target, kRateControlKeyframeSeconds);
      for (int i = 0; i < 5 * kFps; ++i) run.encode(frameAt(frames, i));
      const double achieved = mbps(run.bytes, 0, 5 * kFps);
      state.counters[target == 4'000'000 ? "at4_mbps" : "at12_mbps"] = achieved;
      state.counters[target == 4'000'000 ? "at4_error_pct" : "at12_error_pct"] =
          (achieved * 1e6 / double(target) - 1) * 100;
      for (const auto& frame : run.backend->reports()) outsideLimits += frame.qp < minQP || frame.qp > maxQP;
    }
    // 3 s at 12 Mbit/s, then 4 Mbit/s for 4 s.
    EngineRun run(kWidth, kHeight, 12'000'000, kRateControlKeyframeSeconds);
    const int step = 3 * kFps;
    for (int i = 0; i < 7 * kFps; ++i) {
      if (i == step) run.engine->setBitrate(4'000'000);
      run.encode(frameAt(frames, i));
    }
    // The first frame after the step from which every trailing second (to the end) is within ±15 %.
    int settled = -1;
    for (int end = 7 * kFps; end >= step + 1; --end) {
      const size_t window = size_t(std::min(kFps, end - step));
      const double rate = mbps(run.bytes, size_t(end) - window, window);
      if (rate < 4.0 * 0.85 || rate > 4.0 * 1.15) break;
      settled = end;
    }
    state.counters["step_settle_s"] = settled < 0 ? -1 : double(settled - step) / kFps;
    state.counters["after_step_mbps"] = mbps(run.bytes, size_t(step + 2 * kFps), 2 * kFps);
    for (const auto& frame : run.backend->reports()) outsideLimits += frame.qp < minQP || frame.qp > maxQP;
    state.counters["frames_outside_qp_limits"] = double(outsideLimits);
  }
}

BENCHMARK(BM_X265Encode)->Args({1280, 720})->Args({1920, 1080})->Args({2560, 1600})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_X265Threading)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_X265RateControl)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavlo
