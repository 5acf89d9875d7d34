// How long a frame spends in the host: synthetic capture (the busy desktop) and x265 through the whole
// session at 60 fps for 10 s, with x265's thread set-up as its preset gives it (threading 0, the host's
// before) and the host's steady one (threading 1) in the same run. Ten seconds hold five keyframes at the
// usual 2 s interval, and put six frames beyond the 99th percentile rather than two.
//
// BM_HostLatency/<height>/<threading>: for P-frames, capture stamp → the frame's last datagram handed to
// the transport (p50/p95/p99 in ms) and the same for each stage on the way:
//   capture → submit   the capture queue, the session's encode queue, the hand-over to x265's worker
//   queue              waiting in the worker behind the frame before (x265 still on it)
//   encode             x265 coding the frame (worker start → coded)
//   handoff            coded → the engine's output thread has it (a thread wake-up)
//   to first datagram  the session's send path up to the first chunk on the wire
//   first → last       the frame's chunks and parity leaving (inline spread, parity behind the pacer)
// Keyframes apart: their latency (p50, max), their pacing spread (first → last datagram, p50 and max),
// their encode and how many were coded twice (to fit the burst cap); and for each P-frame that waited behind a keyframe in the worker, that wait over the
// keyframe's own encode (the largest; goal ≤ 1). And fps delivered.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

#include "bench/session_bench_kit.hpp"
#include "platform/capture/synthetic_capture.hpp"
#include "platform/encoder/x265_backend.hpp"
#include "platform/input/recording_poster.hpp"
#include "platform/runtime/random.hpp"
#include "tests/testkit/fake_display_provider.hpp"
#include "tests/testkit/forwarding_compression_session.hpp"

namespace vela {
namespace {

using namespace benchkit;

// When x265 had each frame: submitted, coded on its worker, handed to the output thread. Indexed by
// submission order, which is the engine's frame id.
struct EncoderTimes {
  uint64_t submitUs = 0;
  uint64_t codedUs = 0;
  uint64_t handedUs = 0;
  bool keyframe = false;
  bool recoded = false;
};

class EncoderTimeline {
 public:
  explicit EncoderTimeline(const tavlo::Clock& clock) : clock_(clock) {}
  size_t submitted() {
    std::lock_guard guard(mutex_);
    times_.push_back({clock_.nowUs(), 0, 0, false, false});
    return times_.size() - 1;
  }
  void coded(bool keyframe, bool recoded) {
    std::lock_guard guard(mutex_);
    if (nextCoded_ >= times_.size()) return;
    EncoderTimes& frame = times_[nextCoded_++];
    frame.codedUs = clock_.nowUs();
    frame.keyframe = keyframe;
    frame.recoded = recoded;
  }
  void handed(size_t index) {
    std::lock_guard guard(mutex_);
    if (index < times_.size()) times_[index].handedUs = clock_.nowUs();
  }
  std::vector<EncoderTimes> times() {
    std::lock_guard guard(mutex_);
    return times_;
  }

 private:
  const tavlo::Clock& clock_;
  std::mutex mutex_;
  std::vector<EncoderTimes> times_;
  size_t nextCoded_ = 0;
};

// An x265 session that reports to the timeline; everything else passes through.
class TimedSession final : public tavlo::testkit::ForwardingCompressionSession {
 public:
  TimedSession(std::shared_ptr<tavlo::X265Session> inner, std::shared_ptr<EncoderTimeline> timeline)
      : ForwardingCompressionSession(inner), timeline_(std::move(timeline)) {
    inner->setFrameObserver([timeline = timeline_](const tavlo::X265FrameReport& r) { timeline->coded(r.keyframe, r.recoded); });
  }
  tavlo::EncoderStatus encodeFrame(tavlo::EncoderInputFrame frame, tavlo::EncodeOutputHandler handler) override {
    const size_t index = timeline_->submitted();
    return inner_->encodeFrame(std::move(frame), [timeline = timeline_, index, handler = std::move(handler)](
                                                     tavlo::EncoderStatus status, std::optional<tavlo::EncodedSample> s) {
      timeline->handed(index);
      handler(status, std::move(s));
    });
  }

 private:
  std::shared_ptr<EncoderTimeline> timeline_;
};

class TimedBackend final : public tavlo::EncoderBackend {
 public:
  TimedBackend(tavlo::X265Threading threading, std::shared_ptr<EncoderTimeline> timeline)
      : threading_(threading), timeline_(std::move(timeline)) {}
  std::shared_ptr<tavlo::CompressionSession> createSession(int32_t width, int32_t height,
                                                           const tavlo::EncoderSpecification& requested) override {
    if (requested.requireHardwareAcceleratedVideoEncoder) return nullptr;
    auto inner = tavlo::X265Session::create(width, height, threading_);
    return inner ? std::make_shared<TimedSession>(std::move(inner), timeline_) : nullptr;
  }

 private:
  tavlo::X265Threading threading_;
  std::shared_ptr<EncoderTimeline> timeline_;
};

// What the transport saw of one frame.
struct WireTimes {
  uint64_t stampUs = 0;
  uint64_t firstUs = 0;
  uint64_t lastUs = 0;
  bool keyframe = false;
};

std::map<std::string, std::vector<double>> stagesOf(const std::map<uint32_t, WireTimes>& wire,
                                                    const std::vector<EncoderTimes>& encoder, double& behindKeyRatio,
                                                    int64_t& unmatched) {
  std::map<std::string, std::vector<double>> ms;
  auto add = [&ms](const std::string& name, uint64_t from, uint64_t to) {
    ms[name].push_back(to >= from ? double(to - from) / 1000.0 : 0.0);
  };
  for (const auto& [id, w] : wire) {
    if (id >= encoder.size() || encoder[id].handedUs == 0 || encoder[id].submitUs < w.stampUs ||
        encoder[id].keyframe != w.keyframe) {
      ++unmatched;
      continue;
    }
    const EncoderTimes& e = encoder[id];
    const uint64_t previousCoded = id > 0 ? encoder[id - 1].codedUs : 0;
    const uint64_t workerStart = std::max(e.submitUs, previousCoded);
    const std::string kind = w.keyframe ? "key_" : "";
    add(kind + "total", w.stampUs, w.lastUs);
    add(kind + "capture_submit", w.stampUs, e.submitUs);
    add(kind + "queue", e.submitUs, workerStart);
    add(kind + "encode", workerStart, e.codedUs);
    add(kind + "handoff", e.codedUs, e.handedUs);
    add(kind + "to_first", e.handedUs, w.firstUs);
    add(kind + "first_last", w.firstUs, w.lastUs);
    if (!w.keyframe && id > 0 && encoder[id - 1].keyframe && previousCoded > e.submitUs) {
      const uint64_t keyStart = std::max(encoder[id - 1].submitUs, id > 1 ? encoder[id - 2].codedUs : 0);
      const double keyEncode = double(previousCoded - keyStart);
      if (keyEncode > 0) behindKeyRatio = std::max(behindKeyRatio, double(previousCoded - e.submitUs) / keyEncode);
    }
  }
  return ms;
}

void BM_HostLatency(benchmark::State& state) {
  const int64_t h = state.range(0);
  const int64_t w = h * 16 / 9;
  const auto threading = state.range(1) == 0 ? tavlo::X265Threading::presetDefault() : tavlo::X265Threading::steady();
  for (auto _ : state) {
    const auto& clock = tavlo::SteadyClock::shared();
    auto timeline = std::make_shared<EncoderTimeline>(clock);
    auto capture = tavlo::SyntheticCapture::create();
    capture->setDisplays({{1000, w, h}});
    SessionDeps deps = freshDeps(std::make_shared<tavlo::ThreadScheduler>(clock), 5);
    deps.engines = std::make_shared<EngineFactory>(capture, std::make_shared<TimedBackend>(threading, timeline), clock,
                                                   deps.settings);
    deps.injectors = [] { return std::make_shared<InputInjector>(std::make_shared<tavlo::RecordingPoster>()); };
    auto transport = std::make_shared<HookTransport>();
    std::mutex mutex;
    std::map<uint32_t, WireTimes> wire;
    transport->video_.onSend = [&](tavlo::ByteView datagram) {
      const uint64_t now = clock.nowUs();
      auto raw = RawPacket::decode(datagram);
      WireTimes seen;
      uint32_t id = 0;
      if (raw.header.msgType == VideoType::chunk) {
        auto chunk = raw.decodePayload<VideoChunk>();
        id = chunk.frameId;
        seen.stampUs = chunk.captureTimestampUs;
        seen.keyframe = chunk.frameFlags.contains(FrameFlags::idr);
      } else {
        auto parity = raw.decodePayload<VideoParity>();
        id = parity.frameId;
        seen.stampUs = parity.captureTimestampUs;
      }
      std::lock_guard guard(mutex);
      auto [entry, fresh] = wire.try_emplace(id, seen);
      if (fresh) entry->second.firstUs = now;
      entry->second.lastUs = now;
      entry->second.keyframe = entry->second.keyframe || seen.keyframe;
    };
    SessionConfig config;
    config.transport = transport;
    config.display = std::make_shared<testkit::FakeDisplayProvider>();
    auto session = HostSession::create(std::move(config), deps);
    session->start();
    ClientHello hello;
    hello.platform = Platform::iPad;
    hello.windowPxW = uint16_t(w);
    hello.windowPxH = uint16_t(h);
    transport->control_.incoming_.send(encodePacket(hello, 0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // hello, engines and capture start
    const uint64_t start = clock.nowUs();
    constexpr int emitted = 600;
    for (int i = 0; i < emitted; ++i) {
      capture->emitFrames(1);
      clock.sleepUntil(start + uint64_t(i + 1) * 16'667);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::map<uint32_t, WireTimes> seen;
    {
      std::lock_guard guard(mutex);
      seen = wire;
    }
    double behindKeyRatio = 0;
    int64_t unmatched = 0;
    const auto times = timeline->times();
    auto ms = stagesOf(seen, times, behindKeyRatio, unmatched);
    state.counters["key_recoded"] = double(std::count_if(times.begin(), times.end(), [](const EncoderTimes& t) {
      return t.recoded;
    }));
    for (const char* stage : {"total", "capture_submit", "queue", "encode", "handoff", "to_first", "first_last"}) {
      const std::string name = std::string(stage) == "total" ? "P" : std::string("P_") + stage;
      state.counters[name + "_p50_ms"] = percentile(ms[stage], 0.5);
      state.counters[name + "_p95_ms"] = percentile(ms[stage], 0.95);
      state.counters[name + "_p99_ms"] = percentile(ms[stage], 0.99);
    }
    state.counters["key_count"] = double(ms["key_total"].size());
    state.counters["key_p50_ms"] = percentile(ms["key_total"], 0.5);
    state.counters["key_max_ms"] = percentile(ms["key_total"], 1.0);
    state.counters["key_encode_max_ms"] = percentile(ms["key_encode"], 1.0);
    state.counters["key_spread_p50_ms"] = percentile(ms["key_first_last"], 0.5);
    state.counters["key_spread_max_ms"] = percentile(ms["key_first_last"], 1.0);
    state.counters["P_behind_key_over_key_encode"] = behindKeyRatio;
    state.counters["unmatched"] = double(unmatched);
    state.counters["fps"] = double(seen.size()) / (double(emitted) / 60.0);
    session->close();
    transport->close();
    session.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

BENCHMARK(BM_HostLatency)
    ->ArgNames({"height", "threading"})
    ->Args({720, 0})
    ->Args({720, 1})
    ->Args({1080, 0})
    ->Args({1080, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace vela
