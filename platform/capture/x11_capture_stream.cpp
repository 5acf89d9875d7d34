#include "platform/capture/x11_capture_stream.hpp"

#include <chrono>

#include "platform/runtime/thread_name.hpp"

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
    : reader_(std::move(reader)),
      onStop_(std::move(onStop)),
      audio_(std::move(audio)),
      configuration_(configuration) {}

X11CaptureStream::~X11CaptureStream() { stopCapture(); }

void X11CaptureStream::addScreenOutput(ScreenHandler handler, std::shared_ptr<SerialExecutor> queue) {
  screen_.attach(std::move(handler), std::move(queue));
}

void X11CaptureStream::addAudioOutput(AudioHandler handler, std::shared_ptr<SerialExecutor> queue) {
  audio_.attach(std::move(handler), std::move(queue));
}

void X11CaptureStream::startCapture() {
  bool audioWanted = false;
  {
    std::lock_guard lock(mutex_);
    if (running_) return;
    running_ = true;
    stopping_ = false;
    threadExited_ = false;
    // The capture thread starts by taking the configuration over, which delivers a first frame.
    ++generation_;
    audioWanted = configuration_.audio.has_value();
    thread_ = std::thread([this] { run(); });
  }
  updateAudio(audioWanted);
}

void X11CaptureStream::updateConfiguration(const CaptureConfiguration& configuration) {
  validateCaptureConfiguration(configuration);
  bool running = false;
  {
    std::unique_lock lock(mutex_);
    configuration_ = configuration;
    const uint64_t generation = ++generation_;
    changed_.notify_all();
    running = running_;
    // The capture thread takes it at its next wake-up, which this one brings forward.
    changed_.wait(lock, [&] { return !running_ || threadExited_ || appliedGeneration_ >= generation; });
  }
  if (running) updateAudio(configuration.audio.has_value());
}

void X11CaptureStream::stopCapture() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    stopping_ = true;
    changed_.notify_all();
    thread = std::move(thread_);
  }
  if (thread.joinable()) thread.join();
  updateAudio(false);
  std::lock_guard lock(mutex_);
  running_ = false;
  stopping_ = false;
  changed_.notify_all();
}

void X11CaptureStream::updateAudio(bool wanted) {
  {
    std::lock_guard lock(mutex_);
    wanted = wanted && running_ && !stopping_;
  }
  audio_.update(wanted);
}

void X11CaptureStream::run() {
  setCurrentThreadName(kThreadLabel);
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
      changed_.wait_until(lock, nextRead, [&] { return stopping_ || generation_ != appliedGeneration_; });
      if (stopping_) break;
      if (generation_ != appliedGeneration_) {
        configuration = configuration_;
        appliedGeneration_ = generation_;
      }
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
      changed_.notify_all();
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
        screen_.post({CaptureFrameStatus::complete, std::move(target)});
        idleReported = false;
        break;
      case X11FrameReader::Outcome::unchanged:
        if (!idleReported) screen_.post({CaptureFrameStatus::idle, nullptr});
        idleReported = true;
        break;
      case X11FrameReader::Outcome::noTarget:
      case X11FrameReader::Outcome::unavailable:
        break;
    }
    target.reset();
    if (!reader_->healthy()) {
      if (onStop_) onStop_("the connection to the X server was lost");
      break;
    }
  }
  std::lock_guard lock(mutex_);
  threadExited_ = true;
  changed_.notify_all();
}

}  // namespace tavlo
