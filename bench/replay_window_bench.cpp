// What the replay check adds to each sealed packet taken in: opening a full encrypted video datagram
// (1,350 bytes sealed, 1,382 on the wire) alone, against opening it and entering its nonce
// - into a datagram flow's window that is already full (the steady state of a long session: every take
//   also forgets the oldest), and
// - into the reliable channels' set, which forgets nothing, half full (a session some hours old).
// Both ways run in one loop, interleaved in batches, and each benchmark reports both and the share the
// nonce memory adds.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/interleaved_batches.hpp"
#include "e2e/e2e_envelope.hpp"
#include "e2e/replay_window.hpp"
#include "platform/crypto/random_bytes.hpp"

namespace vela {
namespace {

constexpr int batch = 64;

std::vector<E2EEnvelope::Nonce> randomNonces(size_t count) {
  std::vector<E2EEnvelope::Nonce> nonces(count);
  for (auto& nonce : nonces) nonce = tavlo::crypto::randomArray<E2EEnvelope::nonceSize>();
  return nonces;
}

void report(benchmark::State& state, InterleavedNs ns) {
  state.counters["open_ns"] = ns.first;
  state.counters["open_and_window_ns"] = ns.second;
  state.counters["window_share"] = (ns.second - ns.first) / ns.first;
}

template <class Take>
InterleavedNs timeAgainstOpen(benchmark::State& state, Take&& take) {
  SymmetricKey key(tavlo::crypto::randomArray<32>());
  const Bytes envelope = *E2EEnvelope::seal(Bytes(1350, 0x5C), key, tavlo::crypto::randomArray<E2EEnvelope::nonceSize>());
  return timeInterleavedBatches(
      state, batch, [&] { benchmark::DoNotOptimize(E2EEnvelope::open(envelope, key)); },
      [&] {
        auto opened = E2EEnvelope::open(envelope, key);
        if (!take()) state.SkipWithError("an honest nonce was refused");
        benchmark::DoNotOptimize(opened);
      });
}

void BM_ReplayWindowAgainstOpenAlone(benchmark::State& state) {
  const size_t capacity = ReplayWindow::datagramCapacity;
  // More nonces than the window holds: each one comes round again only after it was forgotten, so
  // every take is a new nonce, entered and evicting, as an honest peer's are.
  auto nonces = randomNonces(2 * capacity);
  ReplayWindow window;
  size_t next = 0;
  for (size_t i = 0; i < capacity; ++i) window.takeForDelivery(nonces[next++]);
  report(state, timeAgainstOpen(state, [&] {
           bool taken = window.takeForDelivery(nonces[next]);
           next = (next + 1) % nonces.size();
           return taken;
         }));
}
BENCHMARK(BM_ReplayWindowAgainstOpenAlone);

constexpr int reliableIterations = 8192;  // batch × this new nonces: well within the half left free

void BM_ReliableSetAgainstOpenAlone(benchmark::State& state) {
  const size_t half = ReplayWindow::reliableCapacity / 2;
  auto nonces = randomNonces(half + size_t{batch} * reliableIterations);
  ReplayWindow set(ReplayWindow::reliableCapacity, ReplayWindow::WhenFull::refuse);
  size_t next = 0;
  for (; next < half; ++next) set.takeForDelivery(nonces[next]);
  report(state, timeAgainstOpen(state, [&] { return set.takeForDelivery(nonces[next++]); }));
}
BENCHMARK(BM_ReliableSetAgainstOpenAlone)->Iterations(reliableIterations);

}  // namespace
}  // namespace vela
