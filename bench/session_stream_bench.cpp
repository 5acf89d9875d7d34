// The session's first stream: what handing a frame to the transport costs, how late paced datagrams
// leave and how the stream survives random loss (how long a frame spends in the host: host_latency_bench).
//
// BM_KeyframeHandOff300KB: one 300 KB keyframe (230 chunks + parity) through handleEncoded into a
// transport that only counts, unpaced; CPU time per frame and heap allocations per datagram (the
// datagram's own buffer is one; the chunk kept for retransmission is another).
// BM_PacingLateness: a 230-chunk keyframe spread over 100 ms on the pacer and a 40-chunk frame over
// 6 ms inline, sent to a loopback UDP receiver on the steady clock; lateness of each arrival against
// its slot, p50/p99 in µs.
// BM_LossResilience/<loss %>: 600 frames at 60 fps (a 60 KB keyframe each second, 8 KB otherwise) on
// a FakeClock link of 10 ms each way with random loss, NACKs answered by the session and the loop
// closed: the client's frame feedback (clean, recovered through NACK or parity, lost), itself subject
// to the loss, is what the session's loss estimate and its parity follow. The share of frames complete
// within 100 ms of their send, the overhead (parity + retransmitted bytes over payload bytes, and each
// apart) and the mean loss estimate the session worked with.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "bench/session_bench_kit.hpp"
#include "hostcore/session/frame_send_math.hpp"
#include "platform/encoder/fake_encoder.hpp"
#include "platform/input/recording_poster.hpp"
#include "platform/runtime/random.hpp"
#include "protocol/frame_assembler.hpp"
#include "tests/testkit/counting_allocator.hpp"
#include "tests/testkit/fake_display_provider.hpp"

namespace vela {

using namespace benchkit;

namespace {

struct SessionBench {
  explicit SessionBench(const tavlo::Clock& clock, std::shared_ptr<tavlo::Scheduler> scheduler,
                        std::map<std::string, bool> flags = {})
      : deps(freshDeps(std::move(scheduler), 5)) {
    for (const auto& [key, value] : flags) deps.settings->set(key, value);
    deps.engines = std::make_shared<EngineFactory>(nullptr, nullptr, clock);
    deps.injectors = [] { return std::make_shared<InputInjector>(std::make_shared<tavlo::RecordingPoster>()); };
    SessionConfig config;
    config.transport = transport;
    config.display = std::make_shared<testkit::FakeDisplayProvider>();
    session = HostSession::create(std::move(config), deps);
    HostSessionProbe::with(*session, [](SessionState& s) {
      s.identity.sessionId = 0x1234;
      s.engines.providedDisplay = ProvidedDisplay{1000, 1280, 720};
      s.send.configSent = true;
      return 0;
    });
  }
  std::shared_ptr<HookTransport> transport = std::make_shared<HookTransport>();
  SessionDeps deps;
  std::shared_ptr<HostSession> session;
};

EncodedFrame frameOf(uint32_t id, size_t bytes, bool keyframe, uint64_t stampUs = 0) {
  EncodedFrame frame;
  frame.frameId = id;
  frame.isKeyframe = keyframe;
  frame.captureTimestampUs = stampUs;
  frame.avcc = tavlo::SeededRandom(id + 1).bytes(bytes);
  return frame;
}


void BM_KeyframeHandOff300KB(benchmark::State& state) {
  tavlo::FakeClock clock;
  SessionBench bench(clock, std::make_shared<tavlo::ManualScheduler>(clock), {{"tl.keyframePacing", false}});
  int64_t datagrams = 0;
  bench.transport->video_.onSend = [&](ByteView) { ++datagrams; };
  uint32_t id = 0;
  const EncodedFrame frame = frameOf(0, 300'000, true);
  uint64_t allocations = 0;
  for (auto _ : state) {
    EncodedFrame next = frame;
    next.frameId = id++;
    const uint64_t before = tavlo::testkit::allocationsOnThisThread();
    HostSessionProbe::handleEncoded(*bench.session, next);
    allocations += tavlo::testkit::allocationsOnThisThread() - before;
  }
  const double perFrame = double(datagrams) / double(state.iterations());
  state.counters["datagrams/frame"] = perFrame;
  state.counters["allocs/datagram"] = double(allocations) / double(datagrams);
  state.SetLabel("CPU time per 300 KB keyframe, unpaced; allocs include the kept chunk");
}

void BM_PacingLateness(benchmark::State& state) {
  const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length);
  int bufferSize = 8 << 20;
  ::setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  const auto& clock = tavlo::SteadyClock::shared();
  SessionBench bench(clock, std::make_shared<tavlo::ThreadScheduler>(clock));
  bench.transport->video_.onSend = [&](ByteView datagram) {
    ::sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
  };
  // A relayed-like slow link for the keyframe (pacer) and a plain frame spread inline.
  HostSessionProbe::with(*bench.session, [](SessionState& s) {
    s.path.lanSession = false;
    s.path.relayedSession = true;
    s.adaptation.fbLagEwmaUs = 80'000;
    s.adaptation.recvRateEwma = 30'000'000;
    return 0;
  });
  std::vector<double> pacerLate, inlineLate;
  uint32_t id = 0;
  for (auto _ : state) {
    for (auto [bytes, keyframe] : {std::pair{300'000, true}, std::pair{52'000, false}}) {
      auto frame = frameOf(id++, size_t(bytes), keyframe);
      std::vector<uint64_t> arrivals;
      std::thread reader([&] {
        char buffer[2048];
        timeval timeout{0, 200'000};
        ::setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        for (;;) {
          ssize_t got = ::recv(receiver, buffer, sizeof buffer, 0);
          if (got <= 0) break;
          auto raw = RawPacket::decode(ByteView(reinterpret_cast<uint8_t*>(buffer), size_t(got)));
          if (raw.header.msgType == VideoType::chunk) arrivals.push_back(clock.nowUs());
        }
      });
      HostSessionProbe::handleEncoded(*bench.session, frame);
      reader.join();  // until 200 ms pass without a datagram
      if (arrivals.size() < 2) continue;
      const uint64_t n = arrivals.size();
      // What the send path chose for these frames.
      const uint64_t spread = chunkSpreadUs(int64_t(n), keyframe, false, bytes, 30'000'000);
      for (uint64_t i = 0; i < n; ++i) {
        double slot = double(arrivals[0]) + double(i * spread / n);
        (keyframe ? pacerLate : inlineLate).push_back(double(arrivals[i]) - slot);
      }
    }
  }
  state.counters["pacer_p50_us"] = percentile(pacerLate, 0.5);
  state.counters["pacer_p99_us"] = percentile(pacerLate, 0.99);
  state.counters["inline_p50_us"] = percentile(inlineLate, 0.5);
  state.counters["inline_p99_us"] = percentile(inlineLate, 0.99);
  ::close(receiver);
  ::close(sender);
}

void BM_LossResilience(benchmark::State& state) {
  const double loss = double(state.range(0)) / 100.0;
  constexpr uint64_t oneWayUs = 10'000;
  constexpr uint64_t intactWithinUs = 100'000;
  constexpr int frames = 600;
  using Status = FrameFeedback::Status;
  for (auto _ : state) {
    tavlo::FakeClock clock;
    auto scheduler = std::make_shared<tavlo::ManualScheduler>(clock);
    SessionBench bench(clock, scheduler, {{"tl.keyframePacing", false}});
    // The loss estimate starts at nothing and follows the client's frame feedback, as after a hello.
    HostSessionProbe::with(*bench.session, [&](SessionState& s) {
      s.geometry.currentPw = 1280;
      s.geometry.currentPh = 720;
      s.adaptation.bitrateController = std::make_unique<BitrateController>(
          1280, 720, 60, 8'000'000, 1'000'000, std::nullopt, BitrateController::Tunables{});
      return 0;
    });
    tavlo::SeededRandom random(uint64_t(state.range(0)));
    FrameAssembler assembler(64);
    assembler.setGeneration(1);
    const FrameAssembler::NackPolicy policy{25'000, 4, 150'000, 6, 400'000, 3'000, 6'000};
    std::map<uint32_t, uint64_t> sentAtUs;
    std::map<uint32_t, int> nackRounds, resent;
    std::set<uint32_t> intact, answered;
    std::set<std::pair<uint32_t, uint16_t>> chunkSeen;
    int64_t payloadBytes = 0, parityBytes = 0, retransmitBytes = 0;
    // The client's feedback of a frame reaches the host one way later, through the loss as well.
    auto feedBack = [&](uint32_t frameId, Status status) {
      if (!answered.insert(frameId).second) return;
      FrameFeedback feedback;
      feedback.frameId = frameId;
      feedback.generation = 1;
      feedback.status = status;
      feedback.nackRounds = uint8_t(std::min(nackRounds[frameId], 255));
      feedback.retransmittedChunks = uint16_t(std::min(resent[frameId], 65'535));
      feedback.clientRecvTimestampUs = clock.nowUs();
      if (double(random.below(1'000'000)) < loss * 1e6) return;
      scheduler->after(oneWayUs, [&, feedback] { HostSessionProbe::intakeFeedback(*bench.session, feedback); });
    };
    bench.transport->video_.onSend = [&](ByteView datagram) {
      Bytes copy(datagram.begin(), datagram.end());
      auto raw = RawPacket::decode(copy);
      if (raw.header.msgType == VideoType::chunk) {
        auto chunk = raw.decodePayload<VideoChunk>();
        if (chunkSeen.insert({chunk.frameId, chunk.chunkIdx}).second) {
          payloadBytes += int64_t(chunk.payload.size());
        } else {
          retransmitBytes += int64_t(chunk.payload.size());
          resent[chunk.frameId] += 1;
        }
      } else {
        parityBytes += int64_t(raw.decodePayload<VideoParity>().payload.size());
      }
      if (double(random.below(1'000'000)) < loss * 1e6) return;
      scheduler->after(oneWayUs, [&, copy = std::move(copy)] {
        auto packet = RawPacket::decode(copy);
        FrameAssembler::Event event = packet.header.msgType == VideoType::chunk
                                          ? assembler.ingest(packet.decodePayload<VideoChunk>(), clock.nowUs())
                                          : assembler.ingestParity(packet.decodePayload<VideoParity>(), clock.nowUs());
        if (event.kind != FrameAssembler::Event::Kind::completed) return;
        if (clock.nowUs() - sentAtUs[event.frameId] <= intactWithinUs) intact.insert(event.frameId);
        feedBack(event.frameId, event.fecRecovered            ? Status::recoveredViaFec
                                : nackRounds[event.frameId] > 0 ? Status::recoveredViaNack
                                                                : Status::clean);
      });
    };
    double lossEstimateSum = 0;
    for (int i = 0; i < frames; ++i) {
      sentAtUs[uint32_t(i)] = clock.nowUs();
      HostSessionProbe::handleEncoded(*bench.session, frameOf(uint32_t(i), i % 60 == 0 ? 60'000 : 8'000, i % 60 == 0));
      for (int ms = 0; ms < 16; ++ms) {
        scheduler->advanceBy(1'000);
        for (auto& request : assembler.framesNeedingNack(clock.nowUs(), policy)) {
          nackRounds[request.nack.frameId] += 1;
          scheduler->after(oneWayUs, [&, nack = request.nack] { HostSessionProbe::answerNack(*bench.session, nack); });
        }
        for (const auto& expired : assembler.reapExpired(clock.nowUs(), policy.giveUpAgeUs, policy.idrGiveUpAgeUs)) {
          feedBack(expired.frameId, Status::lost);
        }
      }
      lossEstimateSum += HostSessionProbe::with(*bench.session, [](SessionState& s) { return s.adaptation.fecLossEwma; });
    }
    scheduler->advanceBy(500'000);
    state.counters["intact_100ms_pct"] = 100.0 * double(intact.size()) / frames;
    state.counters["overhead_pct"] = 100.0 * double(parityBytes + retransmitBytes) / double(payloadBytes);
    state.counters["parity_pct"] = 100.0 * double(parityBytes) / double(payloadBytes);
    state.counters["retransmit_pct"] = 100.0 * double(retransmitBytes) / double(payloadBytes);
    state.counters["loss_estimate_mean_pct"] = 100.0 * lossEstimateSum / frames;
  }
}

BENCHMARK(BM_KeyframeHandOff300KB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PacingLateness)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LossResilience)->Arg(5)->Arg(10)->Arg(20)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vela
