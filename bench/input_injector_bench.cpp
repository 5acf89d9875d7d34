// Injection cost per event, from InputInjector::inject to the XTEST requests flushed to a private dummy
// Xorg, for a key, a pointer move and a scroll (target: at most 100 µs each). The same events into a
// poster that drops them give the injector's own share.
#include <benchmark/benchmark.h>

#include "hostcore/engines/input_injector.hpp"
#include "platform/input/xtest_poster.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace vela {
namespace {

// Takes every event and keeps nothing: what remains is the injector's own work.
class DroppingPoster final : public tavlo::EventPoster {
 public:
  void post(const tavlo::SystemEvent& event) override { benchmark::DoNotOptimize(event); }
  void flush() override {}
  std::optional<tavlo::ScreenRect> displayBounds(uint32_t) override { return tavlo::ScreenRect{0, 0, 2048, 1536}; }
  std::optional<tavlo::ScreenPoint> cursorPosition() override { return tavlo::ScreenPoint{}; }
  void warpCursor(tavlo::ScreenPoint, uint32_t) override {}
  bool hasPermission() override { return true; }
  bool requestPermission() override { return true; }
  bool carriesTabletData() const override { return true; }
  bool carriesGestures() const override { return true; }
};

// One dummy Xorg for the whole program, started on first use.
struct Server {
  tavlo::testkit::XorgServer xorg;
  bool started = xorg.start();
  uint32_t display = 0;

  Server() {
    if (!started) return;
    if (auto connection = tavlo::XcbConnection::open(xorg.display())) {
      for (const auto& out : tavlo::queryOutputs(*connection)) {
        if (out.enabled() && display == 0) display = out.outputId;
      }
    }
  }
  static Server& shared() {
    static Server server;
    return server;
  }
};

std::shared_ptr<tavlo::EventPoster> makePoster(benchmark::State& state, bool xtest) {
  if (!xtest) return std::make_shared<DroppingPoster>();
  Server& server = Server::shared();
  if (!server.started) {
    state.SkipWithError(("Xorg did not start: " + server.xorg.failureText()).c_str());
    return nullptr;
  }
  return tavlo::XTestPoster::open(server.xorg.display());
}

// Alternates two events so that the server sees real changes (a key down and up, two positions, a
// scroll of one click up and one down).
template <class MakeEvent>
void run(benchmark::State& state, MakeEvent makeEvent) {
  const bool xtest = state.range(0) != 0;
  auto poster = makePoster(state, xtest);
  if (!poster) return;
  InputInjector injector(poster);
  injector.setDisplay(xtest ? Server::shared().display : 1, 0, 0);
  const InputEvent events[2] = {makeEvent(true), makeEvent(false)};
  size_t i = 0;
  for (auto _ : state) injector.inject(events[i++ & 1]);
  // A round trip, so that the next benchmark does not wait for this one's backlog.
  benchmark::DoNotOptimize(poster->cursorPosition());
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(xtest ? "µs per event to the XTEST flush = time per iteration" : "injector only");
}

void BM_InjectKey(benchmark::State& state) {
  run(state, [](bool first) {
    KeyEvent key;
    key.down = first;
    key.hidUsagePage = 0x07;
    key.hidUsage = 0x04;
    return InputEvent(key);
  });
}
BENCHMARK(BM_InjectKey)->Arg(0)->Arg(1)->ArgName("xtest")->Unit(benchmark::kMicrosecond);

void BM_InjectMove(benchmark::State& state) {
  run(state, [](bool first) {
    PointerMoveBatch move;
    move.samples = {{uint16_t(first ? 16384 : 49152), 32768, 0}};
    return InputEvent(move);
  });
}
BENCHMARK(BM_InjectMove)->Arg(0)->Arg(1)->ArgName("xtest")->Unit(benchmark::kMicrosecond);

void BM_InjectScroll(benchmark::State& state) {
  run(state, [](bool first) {
    ScrollEvent scroll;
    scroll.deltaY = first ? 40.0f : -40.0f;
    return InputEvent(scroll);
  });
}
BENCHMARK(BM_InjectScroll)->Arg(0)->Arg(1)->ArgName("xtest")->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vela
