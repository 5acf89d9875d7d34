#include "platform/capture/threaded_capture_stream.hpp"

#include "platform/runtime/thread_name.hpp"

namespace tavlo {

ThreadedCaptureStream::ThreadedCaptureStream(const char* threadLabel, const CaptureConfiguration& configuration,
                                             std::shared_ptr<SystemAudioFanOut> audio,
                                             CaptureBackend::StopHandler onStop)
    : threadLabel_(threadLabel), onStop_(std::move(onStop)), audio_(std::move(audio)), configuration_(configuration) {}

void ThreadedCaptureStream::addScreenOutput(ScreenHandler handler, std::shared_ptr<SerialExecutor> queue) {
  screen_.attach(std::move(handler), std::move(queue));
}

void ThreadedCaptureStream::addAudioOutput(AudioHandler handler, std::shared_ptr<SerialExecutor> queue) {
  audio_.attach(std::move(handler), std::move(queue));
}

void ThreadedCaptureStream::startCapture() {
  {
    std::lock_guard lock(mutex_);
    if (running_) return;
  }
  openSource();
  bool audioWanted = false;
  {
    std::lock_guard lock(mutex_);
    running_ = true;
    stopping_ = false;
    threadExited_ = false;
    // The capture thread starts by taking the configuration over, which delivers a first frame.
    ++generation_;
    audioWanted = configuration_.audio.has_value();
    thread_ = std::thread([this] { runThread(); });
  }
  updateAudio(audioWanted);
}

void ThreadedCaptureStream::updateConfiguration(const CaptureConfiguration& configuration) {
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

void ThreadedCaptureStream::stopCapture() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    stopping_ = true;
    changed_.notify_all();
    thread = std::move(thread_);
  }
  closeSource();
  if (thread.joinable()) thread.join();
  updateAudio(false);
  std::lock_guard lock(mutex_);
  running_ = false;
  stopping_ = false;
  changed_.notify_all();
}

std::optional<CaptureConfiguration> ThreadedCaptureStream::takeConfigurationLocked() {
  if (!configurationWaitingLocked()) return std::nullopt;
  appliedGeneration_ = generation_;
  return configuration_;
}

void ThreadedCaptureStream::updateAudio(bool wanted) {
  {
    std::lock_guard lock(mutex_);
    wanted = wanted && running_ && !stopping_;
  }
  audio_.update(wanted);
}

void ThreadedCaptureStream::runThread() {
  setCurrentThreadName(threadLabel_);
  run();
  std::lock_guard lock(mutex_);
  threadExited_ = true;
  changed_.notify_all();
}

}  // namespace tavlo
