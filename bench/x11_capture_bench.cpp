// Capture of a dummy Xorg output at 1920×1080 and 2360×1640: per frame, the MIT-SHM grab and the
// BGRX → NV12 conversion of the same pictures four ways: our own BT.709 rows on one thread (what the
// capture uses at the same size), libswscale sliced over its threads and on one thread (BT.709), and
// libyuv's ARGBToNV12 on one thread (the fastest library code; its version here has the BT.601 matrix
// only, which the stream's colour description does not say, so it cannot replace ours); and the whole
// path (grab + conversion straight into the pooled buffer) against ffmpeg's x11grab delivering NV12 of
// the same output in the same run (goal ≤ 0.7). The benchmark starts its own private Xorg and captures a virtual display that the
// display layer creates there and modes to each size (beside the dummy card's first output, as the
// host's virtual displays are).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <libyuv/convert_from_argb.h>

#include "platform/capture/nv12_converter.hpp"
#include "platform/capture/shm_grabber.hpp"
#include "platform/capture/x11_frame_reader.hpp"
#include "platform/display/xorg_display_system.hpp"
#include "platform/video/nv12_buffer.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using Clock = std::chrono::steady_clock;

// Frames timed per figure. ffmpeg grabs as fast as it can for kFfmpegFrames frames; its steady rate is
// read from its progress reports after kFfmpegWarmUp of running (its start-up is left out).
constexpr int kFrames = 120;
constexpr int kRounds = 5;
constexpr int kFfmpegFrames = 400;
constexpr auto kFfmpegWarmUp = std::chrono::milliseconds(700);

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One private Xorg for every benchmark of this file, started on first use, with a virtual display.
struct Xorg {
  testkit::XorgServer server;
  std::shared_ptr<XorgDisplaySystem> displays;
  DisplayId displayId = 0;
  DisplayBounds bounds;
  std::string error;

  Xorg() {
    if (!server.start()) {
      error = server.failureText();
      return;
    }
    displays = XorgDisplaySystem::open(server.display(), &error);
    if (!displays) return;
    VirtualDisplayDescriptor descriptor;
    descriptor.name = "capture bench";
    descriptor.maxPixelsWide = 4096;
    descriptor.maxPixelsHigh = 4096;
    descriptor.widthMm = 600;
    descriptor.heightMm = 400;
    auto created = displays->createVirtualDisplay(descriptor);
    if (!created) {
      error = "no virtual display";
      return;
    }
    displayId = *created;
  }

  bool resize(int width, int height) {
    if (!displays || displayId == 0) return false;
    // The display layer refuses a mode the output already has: a repetition of a benchmark finds it so.
    auto current = displays->bounds(displayId);
    if (current && current->width == width && current->height == height) {
      bounds = *current;
      return true;
    }
    if (!displays->applySettings(displayId, {false, width, height, 60.0})) {
      error = "the virtual display refused " + std::to_string(width) + "x" + std::to_string(height);
      return false;
    }
    auto shown = displays->bounds(displayId);
    if (!shown || shown->width != width || shown->height != height) {
      error = "the virtual display shows another size";
      return false;
    }
    bounds = *shown;
    return true;
  }
};

Xorg& xorg() {
  static Xorg instance;
  return instance;
}

bool prepare(benchmark::State& state, int width, int height) {
  Xorg& x = xorg();
  if (!x.resize(width, height)) {
    state.SkipWithError(("no virtual display of that size: " + x.error).c_str());
    return false;
  }
  return true;
}

Nv12View viewOf(Nv12Buffer& buffer) {
  return {buffer.lumaPlane(), static_cast<int32_t>(buffer.lumaStride()), buffer.chromaPlane(),
          static_cast<int32_t>(buffer.chromaStride()), buffer.width(), buffer.height()};
}

// Grab and conversion timed apart, the conversion sliced and on one thread, on the same pictures.
void BM_X11GrabAndConversion(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  if (!prepare(state, width, height)) return;
  std::string error;
  auto connection = XcbConnection::open(xorg().server.display(), &error);
  auto grabber = connection ? ShmGrabber::create(*connection, width, height, &error) : nullptr;
  auto direct = Nv12Converter::create(width, height, width, height, 1);
  auto sliced = Nv12Converter::create(width, height, width, height, Nv12Converter::kDefaultThreads,
                                      Nv12Converter::Engine::libswscale);
  auto single = Nv12Converter::create(width, height, width, height, 1, Nv12Converter::Engine::libswscale);
  auto target = Nv12Buffer::make(width, height);
  if (!grabber || !direct || !direct->direct() || !sliced || !single || !target) {
    state.SkipWithError(("capture set-up failed: " + error).c_str());
    return;
  }
  double grabMs = 0, directMs = 0, slicedMs = 0, singleMs = 0, libyuvMs = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    for (int i = 0; i < kFrames; ++i) {
      auto start = Clock::now();
      if (!grabber->grab(int32_t(xorg().bounds.x), int32_t(xorg().bounds.y))) state.SkipWithError("grab failed");
      grabMs += msSince(start);
      start = Clock::now();
      direct->convert(grabber->view(), viewOf(*target));
      directMs += msSince(start);
      start = Clock::now();
      sliced->convert(grabber->view(), viewOf(*target));
      slicedMs += msSince(start);
      start = Clock::now();
      const BgrxView in = grabber->view();
      libyuv::ARGBToNV12(in.pixels, in.bytesPerRow, target->lumaPlane(), int(target->lumaStride()),
                         target->chromaPlane(), int(target->chromaStride()), width, height);
      libyuvMs += msSince(start);
      start = Clock::now();
      single->convert(grabber->view(), viewOf(*target));
      singleMs += msSince(start);
      ++frames;
    }
  }
  state.counters["grab_ms"] = grabMs / double(frames);
  state.counters["convert_ours_ms"] = directMs / double(frames);
  state.counters["convert_libyuv601_ms"] = libyuvMs / double(frames);
  state.counters["convert_sliced_ms"] = slicedMs / double(frames);
  state.counters["convert_single_ms"] = singleMs / double(frames);
  state.counters["sliced_threads"] = Nv12Converter::kDefaultThreads;
  state.counters["sliced_over_grab"] = slicedMs / grabMs;
  state.counters["single_over_sliced"] = singleMs / slicedMs;
  state.counters["ours_over_sliced"] = directMs / slicedMs;
  state.counters["ours_over_libyuv"] = directMs / libyuvMs;
}

// Milliseconds per frame of ffmpeg grabbing the output and converting it to NV12, in its steady state:
// frames counted from its progress reports (every 0.1 s) against the wall clock. -1 when it failed.
double ffmpegMsPerFrame(int width, int height) {
  const std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -nostats -stats_period 0.1 "
                              "-progress pipe:1 -f x11grab -draw_mouse 0 -framerate 1000 -video_size " +
                              std::to_string(width) + "x" + std::to_string(height) + " -i " +
                              xorg().server.display() + "+" + std::to_string(xorg().bounds.x) + "," +
                              std::to_string(xorg().bounds.y) + " -frames:v " + std::to_string(kFfmpegFrames) +
                              " -fps_mode passthrough -pix_fmt nv12 -f null - 2>/dev/null";
  FILE* progress = popen(command.c_str(), "r");
  if (!progress) return -1;
  const auto start = Clock::now();
  std::optional<std::pair<Clock::time_point, long>> first;
  std::pair<Clock::time_point, long> last{start, 0};
  char line[256];
  while (std::fgets(line, sizeof line, progress)) {
    long frame = 0;
    if (std::sscanf(line, "frame=%ld", &frame) != 1) continue;
    const auto now = Clock::now();
    if (now - start < kFfmpegWarmUp) continue;
    if (!first) first = {now, frame};
    last = {now, frame};
  }
  if (pclose(progress) != 0 || !first || last.second <= first->second) return -1;
  return std::chrono::duration<double, std::milli>(last.first - first->first).count() /
         double(last.second - first->second);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Our whole capture path against ffmpeg's x11grab on the same output, in the same run: turns of ours
// and theirs alternate kRounds times, and the medians are compared, so that a burst of load on the
// machine does not land on one side only.
void BM_X11CaptureAgainstFfmpeg(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  if (!prepare(state, width, height)) return;
  std::string error;
  auto reader = X11FrameReader::open(xorg().server.display(), xorg().displayId, &error);
  auto target = Nv12Buffer::make(width, height);
  if (!reader || !target) {
    state.SkipWithError(error.c_str());
    return;
  }
  const X11FrameReader::TargetSource acquire = [&] { return std::optional<Nv12View>(viewOf(*target)); };
  std::vector<double> ours, theirs;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      const auto start = Clock::now();
      for (int i = 0; i < kFrames; ++i) {
        // A new configuration makes every read deliver, changed or not: each one grabs and converts.
        reader->configure(width, height, false);
        if (reader->read(acquire) != X11FrameReader::Outcome::frame) state.SkipWithError("no frame");
      }
      ours.push_back(msSince(start) / kFrames);
      const double perFrame = ffmpegMsPerFrame(width, height);
      if (perFrame < 0) {
        state.SkipWithError("ffmpeg x11grab failed");
        return;
      }
      theirs.push_back(perFrame);
    }
  }
  state.counters["ours_ms"] = median(ours);
  state.counters["ffmpeg_x11grab_ms"] = median(theirs);
  state.counters["ours_over_ffmpeg"] = median(ours) / median(theirs);
}

BENCHMARK(BM_X11GrabAndConversion)->Args({1920, 1080})->Args({2360, 1640})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_X11CaptureAgainstFfmpeg)->Args({1920, 1080})->Args({2360, 1640})->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tavlo
