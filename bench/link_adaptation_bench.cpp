// The link-adaptation path per frame feedback: the host chain the session runs (bitrate loops,
// link-state estimator and snapshot, fluidity governor, keyframe interval once per 60 feedbacks), and
// the client's delay-based estimator per received frame. Each reports its heap allocations per call,
// which must be zero.
#include <benchmark/benchmark.h>

#include <vector>

#include "tests/testkit/counting_allocator.hpp"
#include "media/delay_based_estimator.hpp"
#include "tests/media/feedback_chain.hpp"

namespace vela {
namespace {

constexpr uint64_t t0 = 5'000'000'000ULL;
constexpr uint64_t frameUs = 16'667;

// 40 s of feedback at 60 fps: clean, then 30 % loss at 400 kbit/s, then recovery. Repeated with the
// clock moving on, so the governor keeps engaging and releasing.
std::vector<FrameFeedback> scenario() {
  std::vector<FrameFeedback> out;
  for (uint32_t i = 0; i < 2400; ++i) {
    FrameFeedback fb;
    fb.frameId = i;
    bool congested = i >= 600 && i < 900;
    bool lost = congested && (i % 10 == 0 || i % 10 == 3 || i % 10 == 6);
    fb.status = lost ? FrameFeedback::Status::lost : FrameFeedback::Status::clean;
    fb.assembleDurationUs = lost ? 0 : congested ? 9'000 : 3'000;
    fb.delaySignal = i < 30 ? 0 : congested ? 2 : i < 1020 && i >= 900 ? 3 : 1;
    fb.recvRateKbps = congested ? 400 : i >= 900 && i < 1020 ? 600 : 3'950;
    out.push_back(fb);
  }
  return out;
}

void reportAllocations(benchmark::State& state, uint64_t before) {
  uint64_t allocations = tavlo::testkit::allocationsOnThisThread() - before;
  state.counters["allocs/call"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  if (allocations != 0) state.SkipWithError("the path allocated on the heap");
}

void BM_FeedbackChainPerFrameFeedback(benchmark::State& state) {
  const std::vector<FrameFeedback> feedback = scenario();
  FeedbackChain chain(1920, 1080, 60, 12'000'000, 847'235, 4'000'000);
  uint64_t now = t0;
  size_t i = 0;
  uint64_t before = tavlo::testkit::allocationsOnThisThread();
  for (auto _ : state) {
    FeedbackChain::Step step = chain.onFeedback(feedback[i], now);
    benchmark::DoNotOptimize(step);
    now += frameUs;
    if (++i == feedback.size()) i = 0;
  }
  reportAllocations(state, before);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("ns per FrameFeedback = time per iteration");
}
BENCHMARK(BM_FeedbackChainPerFrameFeedback);

void BM_DelayBasedEstimatorPerFrame(benchmark::State& state) {
  DelayBasedEstimator::Config c;
  c.windowSize = 20;
  c.smoothingCoef = 0.9;
  c.thresholdGain = 4.0;
  c.minNumDeltas = 60;
  c.initialThresholdMs = 12.5;
  c.kUp = 0.0087;
  c.kDown = 0.039;
  c.overusingTimeThresholdMs = 10;
  c.maxAdaptOffsetMs = 15;
  c.thresholdMinMs = 6;
  c.thresholdMaxMs = 600;
  c.maxTimeDeltaMs = 100;
  c.deltaCounterMax = 1000;
  c.rateTauSec = 0.5;
  c.keyframeOutlierFactor = 3;
  DelayBasedEstimator estimator(c);
  uint64_t i = 0;
  uint64_t before = tavlo::testkit::allocationsOnThisThread();
  for (auto _ : state) {
    uint64_t send = t0 + i * frameUs;
    uint64_t queue = (i % 120) < 60 ? 0 : (i % 60) * 1'000;  // a queue builds and empties every 2 s
    benchmark::DoNotOptimize(estimator.addFrame(send, send + 10'000 + queue, 5'000, true, i % 240 == 0));
    ++i;
  }
  reportAllocations(state, before);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DelayBasedEstimatorPerFrame);

}  // namespace
}  // namespace vela
