// The session's audio send path per unit of audio, through HostSession::handleAudio over a transport that
// only counts what it is handed: the PCM ladder per 5-ms slice (mode 0 unchanged, mode 3 down-mixed and
// decimated) and Opus per 20-ms stereo frame at 128 kbit/s, with the slicing, silence test, packet
// framing and bookkeeping around them.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <numbers>

#include "bench/session_bench_kit.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/random.hpp"
#include "platform/runtime/scheduler.hpp"

namespace vela {

namespace {

struct BenchSession {
  explicit BenchSession(bool opus, double levelBps) {
    SessionDeps deps = benchkit::freshDeps(std::make_shared<tavlo::ManualScheduler>(clock), 1);
    transport->setRemote("192.0.2.7:50000");
    transport->audio_.onSend = [this](ByteView datagram) { audioBytes += datagram.size(); };
    SessionConfig config;
    config.transport = transport;
    session = HostSession::create(std::move(config), std::move(deps));
    session->updateCallbacks([](SessionCallbacks& c) { c.onLog = nullptr; });
    // A link level the slow receive average holds steady, and a client that takes Opus or not.
    HostSessionProbe::with(*session, [&](SessionState& s) {
      s.identity.sessionId = 1;
      s.media.clientOpusCapable = opus;
      s.adaptation.rxEwmaSlow = levelBps / 0.8;
    });
  }
  tavlo::FakeClock clock;
  std::shared_ptr<benchkit::HookTransport> transport = std::make_shared<benchkit::HookTransport>();
  size_t audioBytes = 0;
  std::shared_ptr<HostSession> session;
};

// One second of a loud stereo chord, cut as the capture delivers it.
Bytes chord() {
  Bytes pcm(48'000 * 4);
  for (size_t i = 0; i < 48'000; ++i) {
    const double t = static_cast<double>(i) / 48'000;
    for (int c = 0; c < 2; ++c) {
      const auto value = static_cast<int16_t>(8000 * (std::sin(2 * std::numbers::pi * (220.0 + 110 * c) * t) +
                                                      0.5 * std::sin(2 * std::numbers::pi * 277.18 * t)));
      std::memcpy(&pcm[(i * 2 + c) * 2], &value, 2);
    }
  }
  return pcm;
}

void runSlices(benchmark::State& state, bool opus, double levelBps, size_t bytesPerCall, const char* label) {
  BenchSession bench(opus, levelBps);
  const Bytes pcm = chord();
  size_t at = 0;
  for (auto _ : state) {
    bench.session->handleAudio(ByteView(pcm).subspan(at, bytesPerCall));
    at = (at + bytesPerCall) % pcm.size();
  }
  state.counters["wireBytesPerCall"] =
      static_cast<double>(bench.audioBytes) / static_cast<double>(state.iterations());
  state.SetLabel(label);
}

void BM_AudioPathPcmSliceMode0(benchmark::State& state) {
  runSlices(state, false, 3'000'000, 960, "time per iteration = one 5-ms slice, PCM 48k stereo");
}
BENCHMARK(BM_AudioPathPcmSliceMode0)->Unit(benchmark::kMicrosecond);

void BM_AudioPathPcmSliceMode3(benchmark::State& state) {
  runSlices(state, false, 500'000, 960, "time per iteration = one 5-ms slice, PCM 16k mono");
}
BENCHMARK(BM_AudioPathPcmSliceMode3)->Unit(benchmark::kMicrosecond);

void BM_AudioPathOpusFrame128k(benchmark::State& state) {
  runSlices(state, true, 3'000'000, 3840, "time per iteration = one 20-ms stereo frame, Opus 128 kbit/s");
}
BENCHMARK(BM_AudioPathOpusFrame128k)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vela
