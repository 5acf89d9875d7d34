#pragma once
// Two ways of doing one piece of work timed in the same benchmark loop, interleaved in batches so that
// frequency changes and cache state hit both alike; what they cost per call comes out in nanoseconds.
#include <benchmark/benchmark.h>

#include <chrono>

namespace vela {

struct InterleavedNs {
  double first = 0;
  double second = 0;
};

// Runs `first` and then `second` `batch` times each per benchmark iteration; their mean time per call.
template <class First, class Second>
InterleavedNs timeInterleavedBatches(benchmark::State& state, int batch, First&& first, Second&& second) {
  using Clock = std::chrono::steady_clock;
  Clock::duration firstTime{}, secondTime{};
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (int i = 0; i < batch; ++i) first();
    auto t1 = Clock::now();
    for (int i = 0; i < batch; ++i) second();
    auto t2 = Clock::now();
    firstTime += t1 - t0;
    secondTime += t2 - t1;
  }
  const double calls = double(state.iterations()) * batch;
  return {std::chrono::duration<double, std::nano>(firstTime).count() / calls,
          std::chrono::duration<double, std::nano>(secondTime).count() / calls};
}

}  // namespace vela
