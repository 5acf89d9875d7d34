#include "platform/capture/x11_capture_stream.hpp"

#include <chrono>

namespace tavlo {
namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

constexpr const char* kThreadLabel = "tavlo.x11grab";

std::chrono::microseconds frameInterval(const CaptureConfiguration& configuration) {
  const uint64_t us = configuration.minimumFrameIntervalUs > 0 ? configuration.minimumFrameIntervalUs
                                                               : X11CaptureStream::kDefaultFrameIntervalUs;
  return std::chrono::microseconds(us);
}

}  // namespace

std::unique_ptr<X11CaptureStream> X11CaptureStream::create(const std::string& display, uint32_t outputId,
                                                           const CaptureConfiguration& configuration,
                                                           std::shared_ptr<SystemAudioFanOut> audio,
                                                           CaptureBackend::StopHandler onStop, int converterThreads) {
  validateCaptureConfiguration(configuration);
  std::string error;
  auto reader = X11FrameReader::open(display, outputId, &error, converterThreads);
  if (!reader) throw CaptureStreamError(error);
  return std::unique_ptr<X11CaptureStream>(
      new X11CaptureStream(std::move(reader), configuration, std::move(audio), std::move(onStop)));
}

X11CaptureStream::X11CaptureStream(std::unique_ptr<X11FrameReader> reader, const CaptureConfiguration& configuration,
                                   std::shared_ptr<SystemAudioFanOut> audio, CaptureBackend::StopHandler onStop)
    : ThreadedCaptureStream(kThreadLabel, configuration, std::move(audio), std::move(onStop)),
      reader_(std::move(reader)) {}

X11CaptureStream::~X11CaptureStream() { stopCapture(); }

void X11CaptureStream::run() {
  std::chrono::microseconds interval(kDefaultFrameIntervalUs);
  SteadyTime nextRead = std::chrono::steady_clock::now();
  bool idleReported = false;
  std::shared_ptr<Nv12Buffer> target;
  const X11FrameReader::TargetSource acquire = [&]() -> std::optional<Nv12View> {
    target = pool_->acquire();
    return target ? std::optional<Nv12View>(nv12ViewOf(*target)) : std::nullopt;
  };

  while (true) {
    std::optional<CaptureConfiguration> configuration;
    {
      std::unique_lock lock(mutex_);
      changed_.wait_until(lock, nextRead, [&] { return stopAskedLocked() || configurationWaitingLocked(); });
      if (stopAskedLocked()) break;
      configuration = takeConfigurationLocked();
    }
    if (configuration) {
      reader_->configure(static_cast<int32_t>(configuration->width), static_cast<int32_t>(configuration->height),
                         configuration->showsCursor);
      if (!pool_ || pool_->width() != configuration->width || pool_->height() != configuration->height ||
          pool_->maxBuffers() != static_cast<size_t>(configuration->queueDepth)) {
        pool_ = Nv12BufferPool::create(static_cast<int32_t>(configuration->width),
                                       static_cast<int32_t>(configuration->height),
                                       static_cast<size_t>(configuration->queueDepth));
      }
      interval = frameInterval(*configuration);
      configurationApplied();
      // A new configuration is delivered at once; its frame comes next.
      nextRead = std::chrono::steady_clock::now();
    }
    const SteadyTime now = std::chrono::steady_clock::now();
    if (now < nextRead) continue;
    nextRead += interval;
    if (nextRead <= now) nextRead = now + interval;

    switch (reader_->read(acquire)) {
      case X11FrameReader::Outcome::frame:
        target->color = ColorDescription::bt709VideoRange();
        post({CaptureFrameStatus::complete, std::move(target)});
        idleReported = false;
        break;
      case X11FrameReader::Outcome::unchanged:
        if (!idleReported) post({CaptureFrameStatus::idle, nullptr});
        idleReported = true;
        break;
      case X11FrameReader::Outcome::noTarget:
      case X11FrameReader::Outcome::unavailable:
        break;
    }
    target.reset();
    if (!reader_->healthy()) {
      reportStop("the connection to the X server was lost");
      break;
    }
  }
}

}  // namespace tavlo
