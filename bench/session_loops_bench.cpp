// The session's per-packet costs on its uplink and input loops, on FakeClock time with the real
// controllers and in-process engines:
// - one frame feedback through the whole adaptation (target at most 5 µs, no allocation outside the
//   once-per-60 window work, counted as allocs/feedback);
// - a NACK naming 32 chunks answered from the retransmission store (target at most 50 µs), the sends
//   going into a flow that drops them, so what is left is the lookup, the guard and budget, and framing;
// - one input event from its datagram to the poster (target at most 20 µs), into a poster that drops it.
#include <benchmark/benchmark.h>

#include "bench/session_bench_kit.hpp"
#include "hostcore/engines/encoder_engine.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "platform/capture/synthetic_capture.hpp"
#include "platform/encoder/fake_encoder.hpp"
#include "tests/testkit/counting_allocator.hpp"
#include "tests/testkit/fake_display_provider.hpp"

namespace vela {

namespace {

// Flows and channels that drop what is sent and never deliver anything.
class NullChannel final : public ReliableChannel, public DatagramFlow {
 public:
  void send(ByteView packet) override { benchmark::DoNotOptimize(packet.data()); }
  PacketStream& incoming() override { return incoming_; }
  int64_t outstandingBytes() const override { return 0; }
  void close() override { incoming_.close(); }

 private:
  PacketStream incoming_;
};

class NullTransport final : public SessionTransport {
 public:
  ReliableChannel& control() override { return control_; }
  ReliableChannel& inputReliable() override { return inputReliable_; }
  DatagramFlow& video() override { return video_; }
  DatagramFlow& audio() override { return audio_; }
  DatagramFlow& inputUnreliable() override { return inputUnreliable_; }
  std::string remoteDescription() const override { return "192.168.1.20:50000"; }
  void close() override {}

 private:
  NullChannel control_, inputReliable_, video_, audio_, inputUnreliable_;
};

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

struct BenchSession {
  tavlo::FakeClock clock;
  std::shared_ptr<tavlo::ManualScheduler> scheduler = std::make_shared<tavlo::ManualScheduler>(clock);
  std::shared_ptr<tavlo::FakeEncoder> encoderBackend = std::make_shared<tavlo::FakeEncoder>();
  std::shared_ptr<DroppingPoster> poster = std::make_shared<DroppingPoster>();
  std::shared_ptr<HostSession> session;
  std::shared_ptr<EncoderEngine> encoder;

  BenchSession() {
    SessionDeps deps = benchkit::freshDeps(scheduler, 7);
    deps.engines = std::make_shared<EngineFactory>(tavlo::SyntheticCapture::create(), encoderBackend, clock, deps.settings);
    deps.injectors = [this] { return std::make_shared<InputInjector>(poster, clock); };
    SessionConfig config;
    config.transport = std::make_shared<NullTransport>();
    config.display = std::make_shared<testkit::FakeDisplayProvider>();
    config.hostName = "Bench";
    session = HostSession::create(std::move(config), deps);
    encoder = deps.engines->makeEncoderEngine(1920, 1080, 60, 8'000'000, 2.0, [](const EncodedFrame&) {});
    auto injector = deps.injectors();
    injector->setDisplay(1, 2048, 1536);
    HostSessionProbe::with(*session, [&](SessionState& s) {
      s.engines.encoder = encoder;
      s.engines.injector = injector;
      s.geometry.currentPw = 1920;
      s.geometry.currentPh = 1080;
      s.adaptation.bitrateController = std::make_unique<BitrateController>(
          1920, 1080, 60, 8'000'000, 1'000'000, std::nullopt, BitrateController::Tunables{});
      s.adaptation.bitrateController->plateau = true;
      return 0;
    });
  }
};

void BM_FeedbackThroughAdaptation(benchmark::State& state) {
  BenchSession b;
  uint32_t frameId = 1;
  uint64_t allocations = 0, counted = 0;
  for (auto _ : state) {
    b.clock.advanceUs(16'667);
    FrameFeedback fb;
    fb.frameId = frameId++;
    fb.status = frameId % 97 == 0 ? FrameFeedback::Status::recoveredViaFec : FrameFeedback::Status::clean;
    fb.assembleDurationUs = 2'500;
    fb.decodeDurationUs = 4'000;
    fb.delaySignal = 1;
    fb.recvRateKbps = 7'500 + frameId % 500;
    bool windowEnd = frameId % 60 == 1;  // the feedback that closes a window of 60
    uint64_t before = tavlo::testkit::allocationsOnThisThread();
    b.session->applyFeedback(fb);
    if (!windowEnd) {
      allocations += tavlo::testkit::allocationsOnThisThread() - before;
      counted += 1;
    }
  }
  state.counters["allocs/feedback"] = counted ? static_cast<double>(allocations) / static_cast<double>(counted) : 0;
}
BENCHMARK(BM_FeedbackThroughAdaptation);

void BM_Nack32ChunksAnswered(benchmark::State& state) {
  BenchSession b;
  Bytes frame(40 * maxVideoChunkPayload, 0x5A);
  HostSessionProbe::components(*b.session)
      .retx->retain(9, 1, Chunker::chunk(9, 1, FrameFlags{}, ltrTokenNone, 0, frame));
  HostSessionProbe::with(*b.session, [](SessionState& s) {
    s.retransmit.rtxRefillPerSec = 1e12;  // the budget is not what is measured
    s.retransmit.rtxTokensMax = 1e12;
    return 0;
  });
  std::vector<uint16_t> missing;
  for (uint16_t i = 4; i < 36; ++i) missing.push_back(i);
  Bytes nack = encodePacket(VideoNack::fromMissing(9, 1, missing), 0, 0);
  for (auto _ : state) {
    b.clock.advanceUs(20'000);  // past the re-send guard
    b.session->handleVideoUpstreamPacket(nack);
  }
  state.SetItemsProcessed(state.iterations() * 32);
}
BENCHMARK(BM_Nack32ChunksAnswered);

void BM_InputEventToPoster(benchmark::State& state) {
  BenchSession b;
  const bool move = state.range(0) == 1;
  Bytes key = encodePacket(KeyEvent{true, 0x07, 0x04, {}, 0}, 0, 0);
  Bytes keyUp = encodePacket(KeyEvent{false, 0x07, 0x04, {}, 0}, 0, 0);
  Bytes moves = encodePacket(PointerMoveBatch{0, 0, {{1000, 2000, 0}, {1010, 2010, 4000}}}, 0, 0);
  // Past the first events, which log in full.
  for (int i = 0; i < 10; ++i) b.session->handleInputReliablePacket(i % 2 ? keyUp : key);
  bool down = true;
  for (auto _ : state) {
    b.clock.advanceUs(4'000);
    if (move) {
      b.session->handleInputUnreliablePacket(moves);
    } else {
      b.session->handleInputReliablePacket(down ? key : keyUp);
      down = !down;
    }
  }
  state.SetLabel(move ? "pointer move batch (2 samples)" : "key down/up");
}
BENCHMARK(BM_InputEventToPoster)->Arg(0)->Arg(1);

}  // namespace
}  // namespace vela
