// The GNOME capture's path per frame at 1920×1080: the copy out of the screen-cast buffer (rows of a
// padded stride, as mutter lays them out), the pointer drawn into a copy of the picture, and the
// BGRX → NV12 conversion into a pooled buffer; then the whole chain through a real PipeWire graph on a
// private stack (a Video/Source node sending full-HD pictures → our consumer → the capture stream's NV12
// sample on its queue), one picture at a time, for the delivery latency and the rate it allows; and the
// frame rate of an animating client (weston-simple-shm) on a private headless mutter's virtual monitor,
// captured at full HD (mutter composites in software here: its own rate is the bound).
#include <benchmark/benchmark.h>
#include <spa/utils/defs.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture/cursor_overlay.hpp"
#include "platform/capture/nv12_converter.hpp"
#include "platform/gnome/gnome_capture.hpp"
#include "platform/gnome/mutter_remote_session.hpp"
#include "platform/gnome/screen_buffer_reader.hpp"
#include "platform/pipewire/pipewire_video_source.hpp"
#include "platform/runtime/channel.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/video/nv12_buffer.hpp"
#include "tests/testkit/headless_mutter.hpp"
#include "tests/testkit/pipewire_stack.hpp"

namespace tavlo {
namespace {

using BenchClock = std::chrono::steady_clock;
constexpr int kFrames = 60;

double msSince(BenchClock::time_point start) {
  return std::chrono::duration<double, std::milli>(BenchClock::now() - start).count();
}

Nv12View viewOf(Nv12Buffer& buffer) {
  return {buffer.lumaPlane(), static_cast<int32_t>(buffer.lumaStride()), buffer.chromaPlane(),
          static_cast<int32_t>(buffer.chromaStride()), buffer.width(), buffer.height()};
}

void BM_GnomeFramePath(benchmark::State& state) {
  const auto width = static_cast<int32_t>(state.range(0));
  const auto height = static_cast<int32_t>(state.range(1));
  const int32_t stride = width * 4 + 64;
  std::vector<uint8_t> mapped(size_t(stride) * size_t(height));
  for (size_t i = 0; i < mapped.size(); ++i) mapped[i] = uint8_t(i * 7);
  const ScreenBufferBlock block{mapped.data(), mapped.size(), 0, uint32_t(mapped.size()), stride};
  auto converter = Nv12Converter::create(width, height, width, height, 1);
  auto target = Nv12Buffer::make(width, height);
  if (!converter || !target) {
    state.SkipWithError("converter set-up failed");
    return;
  }
  CursorImage pointer;
  pointer.width = pointer.height = 48;
  pointer.argb.assign(48 * 48, 0xc0808080u);
  ScreenFrame frame;
  std::vector<uint8_t> withPointer;
  double copyMs = 0, pointerMs = 0, convertMs = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    for (int i = 0; i < kFrames; ++i) {
      auto start = BenchClock::now();
      if (copyScreenPicture(block, {width, height}, ScreenPixelOrder::bgrx, frame)) state.SkipWithError("copy refused");
      copyMs += msSince(start);
      start = BenchClock::now();
      withPointer.assign(frame.pixels.begin(), frame.pixels.end());
      blendCursor(pointer, width / 2, height / 2, withPointer.data(), frame.bytesPerRow, width, height);
      pointerMs += msSince(start);
      start = BenchClock::now();
      converter->convert({frame.pixels.data(), frame.bytesPerRow, width, height}, viewOf(*target));
      convertMs += msSince(start);
      ++frames;
    }
  }
  state.counters["copy_ms"] = copyMs / double(frames);
  state.counters["pointer_ms"] = pointerMs / double(frames);
  state.counters["convert_ms"] = convertMs / double(frames);
  state.counters["frame_ms"] = (copyMs + convertMs) / double(frames);
  state.counters["frame_with_pointer_ms"] = (copyMs + pointerMs + convertMs) / double(frames);
}
BENCHMARK(BM_GnomeFramePath)->Args({1920, 1080})->Unit(benchmark::kMillisecond)->Iterations(3);

// One private PipeWire stack, producer node, consumer and capture for the chain benchmark.
struct Chain {
  testkit::PipeWireStack stack;
  std::unique_ptr<PipeWireContext> context;
  std::unique_ptr<PipeWireVideoSource> producer;
  std::shared_ptr<PipeWireScreenStream> source;
  std::shared_ptr<ScreenCastFrames> frames = std::make_shared<ScreenCastFrames>();
  std::unique_ptr<GnomeCapture> capture;
  std::unique_ptr<CaptureStream> stream;
  std::shared_ptr<SerialExecutor> queue = std::make_shared<SerialExecutor>("vela.capture");
  Channel<ScreenSample> samples;
  std::string error;

  bool start(int32_t width, int32_t height) {
    if (!stack.start()) return fail(stack.failureText());
    context = PipeWireContext::connect({}, error, stack.pipewireRemote());
    if (!context) return false;
    producer = PipeWireVideoSource::create(*context, {{"node.name", "tavlo-bench-screen"}},
                                           {uint32_t(width), uint32_t(height), 60}, {}, error);
    if (!producer) return false;
    uint32_t node = SPA_ID_INVALID;
    if (!waitFor([&] { return (node = producer->nodeId()) != SPA_ID_INVALID; })) return fail("the node has no id");
    PipeWireScreenStream::Options options;
    options.nodeId = node;
    options.size = {width, height};
    options.remote = stack.pipewireRemote();
    source = PipeWireScreenStream::open(options, &error);
    if (!source) return false;
    if (!waitFor([&] { return source->status().state == PipeWireScreenStream::State::streaming; })) {
      return fail("the stream did not start");
    }
    frames->publish(1, source);
    capture = std::make_unique<GnomeCapture>(GnomeCapture::Options{frames, nullptr, Nv12Converter::kDefaultThreads});
    CaptureConfiguration configuration;
    configuration.width = width;
    configuration.height = height;
    stream = capture->makeStream({1, width, height}, configuration, nullptr);
    stream->addScreenOutput([this](ScreenSample sample) { samples.send(std::move(sample)); }, queue);
    stream->startCapture();
    return true;
  }
  bool fail(std::string why) {
    error = std::move(why);
    return false;
  }
  template <typename Condition>
  static bool waitFor(Condition condition) {
    const auto deadline = BenchClock::now() + std::chrono::seconds(10);
    while (BenchClock::now() < deadline) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Sends one picture and waits for its frame; the milliseconds it took, or -1.
  double oneFrame(const std::vector<uint8_t>& picture, size_t bytesPerRow) {
    const Clock& clock = SteadyClock::shared();
    const auto start = BenchClock::now();
    if (!producer->sendFrame(ByteView(picture.data(), picture.size()), bytesPerRow)) return -1;
    const uint64_t deadline = clock.nowUs() + 2'000'000;
    while (auto sample = samples.receiveUntil(clock, deadline)) {
      if (sample->status == CaptureFrameStatus::complete) return msSince(start);
    }
    return -1;
  }
  ~Chain() {
    if (stream) stream->stopCapture();
    queue->shutdown();
    if (source) source->close();
    producer.reset();
  }
};

void BM_GnomeCaptureThroughPipeWire(benchmark::State& state) {
  const auto width = static_cast<int32_t>(state.range(0));
  const auto height = static_cast<int32_t>(state.range(1));
  Chain chain;
  if (!chain.start(width, height)) {
    state.SkipWithError(("chain set-up failed: " + chain.error).c_str());
    return;
  }
  std::vector<uint8_t> picture(size_t(width) * size_t(height) * 4, 0x55);
  // The graph's first cycles start it up: left out.
  for (int i = 0; i < 50 && chain.oneFrame(picture, size_t(width) * 4) < 0; ++i) {
  }
  std::vector<double> latencies;
  int lost = 0;
  for (auto _ : state) {
    for (int i = 0; i < kFrames; ++i) {
      picture[size_t(i) * 4] = uint8_t(i);
      const double ms = chain.oneFrame(picture, size_t(width) * 4);
      if (ms < 0) {
        ++lost;
      } else {
        latencies.push_back(ms);
      }
    }
  }
  if (latencies.empty()) {
    state.SkipWithError("no frame came through");
    return;
  }
  std::sort(latencies.begin(), latencies.end());
  double sum = 0;
  for (double ms : latencies) sum += ms;
  const double mean = sum / double(latencies.size());
  state.counters["latency_ms"] = mean;
  state.counters["latency_p50_ms"] = latencies[latencies.size() / 2];
  state.counters["latency_p95_ms"] = latencies[latencies.size() * 95 / 100];
  state.counters["frames_per_s_one_at_a_time"] = 1000.0 / mean;
  state.counters["lost"] = lost;
}
BENCHMARK(BM_GnomeCaptureThroughPipeWire)->Args({1920, 1080})->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_GnomeCaptureOfAnimatingClientOnMutter(benchmark::State& state) {
  const auto width = static_cast<int32_t>(state.range(0));
  const auto height = static_cast<int32_t>(state.range(1));
  testkit::HeadlessMutter mutter;
  if (!mutter.start()) {
    state.SkipWithError(("mutter did not start: " + mutter.failureText()).c_str());
    return;
  }
  mutter.applyToThisProcess();
  std::string error;
  auto bus = BusConnection::openSession(&error);
  auto session = bus ? MutterRemoteSession::create(bus, &error) : nullptr;
  auto streamPath = session ? session->recordVirtual(CastCursorMode::metadata, &error) : std::nullopt;
  if (!streamPath || !session->start(std::chrono::seconds(5), &error) || !session->nodeOf(*streamPath)) {
    state.SkipWithError(("no virtual monitor: " + error).c_str());
    return;
  }
  PipeWireScreenStream::Options options;
  options.nodeId = *session->nodeOf(*streamPath);
  options.size = {width, height};
  options.remote = mutter.stack().pipewireRemote();
  auto source = PipeWireScreenStream::open(options, &error);
  if (!source || !Chain::waitFor([&] { return source->status().state == PipeWireScreenStream::State::streaming; })) {
    state.SkipWithError(("no stream: " + error).c_str());
    return;
  }
  auto frames = std::make_shared<ScreenCastFrames>();
  frames->publish(1, source);
  GnomeCapture capture({frames, nullptr, Nv12Converter::kDefaultThreads});
  CaptureConfiguration configuration;
  configuration.width = width;
  configuration.height = height;
  auto stream = capture.makeStream({1, width, height}, configuration, nullptr);
  std::atomic<int64_t> delivered{0};
  auto queue = std::make_shared<SerialExecutor>("vela.capture");
  stream->addScreenOutput(
      [&](ScreenSample sample) {
        if (sample.status == CaptureFrameStatus::complete) ++delivered;
      },
      queue);
  stream->startCapture();
  testkit::ChildProcess client;
  if (!mutter.startClient(client, {"weston-simple-shm"}, "simple-shm.log") ||
      !Chain::waitFor([&] { return delivered > 10; })) {
    state.SkipWithError("the client's frames did not come");
    stream->stopCapture();
    return;
  }
  double seconds = 0;
  int64_t counted = 0;
  for (auto _ : state) {
    const int64_t before = delivered;
    const auto start = BenchClock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    seconds += msSince(start) / 1000.0;
    counted += delivered - before;
  }
  stream->stopCapture();
  queue->shutdown();
  client.stop();
  source->close();
  session->stop();
  state.counters["frames_per_s"] = double(counted) / seconds;
}
BENCHMARK(BM_GnomeCaptureOfAnimatingClientOnMutter)->Args({1920, 1080})->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace tavlo
