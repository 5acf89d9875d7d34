// What the replay check adds to each sealed datagram taken in: opening a full encrypted video datagram
// (1,350 bytes sealed, 1,382 on the wire) alone, against opening it and entering its nonce into a
// window that is already full (the steady state of a long session: every take also forgets the
// oldest). Both run in one loop, interleaved in batches, and the benchmark reports both and the share
// the window adds.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/interleaved_batches.hpp"
#include "e2e/e2e_envelope.hpp"
#include "e2e/replay_window.hpp"
#include "platform/crypto/random_bytes.hpp"

namespace vela {
namespace {

void BM_ReplayWindowAgainstOpenAlone(benchmark::State& state) {
  constexpr int batch = 64;
  SymmetricKey key(tavlo::crypto::randomArray<32>());
  const Bytes envelope = *E2EEnvelope::seal(Bytes(1350, 0x5C), key);
  // More nonces than the window holds: each one comes round again only after it was forgotten, so
  // every take is a new nonce, entered and evicting, as an honest peer's are.
  std::vector<E2EEnvelope::Nonce> nonces(2 * ReplayWindow::capacity);
  for (auto& nonce : nonces) nonce = tavlo::crypto::randomArray<E2EEnvelope::nonceSize>();
  ReplayWindow window;
  size_t next = 0;
  for (size_t i = 0; i < ReplayWindow::capacity; ++i) window.takeForDelivery(nonces[next++]);
  const auto ns = timeInterleavedBatches(
      state, batch, [&] { benchmark::DoNotOptimize(E2EEnvelope::open(envelope, key)); },
      [&] {
        auto opened = E2EEnvelope::open(envelope, key);
        if (!window.takeForDelivery(nonces[next])) state.SkipWithError("an honest nonce was refused");
        next = (next + 1) % nonces.size();
        benchmark::DoNotOptimize(opened);
      });
  state.counters["open_ns"] = ns.first;
  state.counters["open_and_window_ns"] = ns.second;
  state.counters["window_share"] = (ns.second - ns.first) / ns.first;
}
BENCHMARK(BM_ReplayWindowAgainstOpenAlone);

}  // namespace
}  // namespace vela
