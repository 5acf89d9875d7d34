#include "hostcore/engines/audio_tap_engine.hpp"

#include <string>

#include <utility>

#include "hostcore/engines/tap_audio_conversion.hpp"

namespace vela {

std::shared_ptr<AudioTapEngine> AudioTapEngine::create(std::shared_ptr<tavlo::SystemAudioSource> source,
                                                       AudioCallback onAudio, tavlo::LogSink systemLog) {
  return std::shared_ptr<AudioTapEngine>(
      new AudioTapEngine(std::move(source), std::move(onAudio), std::move(systemLog)));
}

AudioTapEngine::AudioTapEngine(std::shared_ptr<tavlo::SystemAudioSource> source, AudioCallback onAudio,
                               tavlo::LogSink systemLog)
    : source_(std::move(source)),
      onAudio_(std::move(onAudio)),
      systemLog_(std::move(systemLog)),
      queue_(std::make_shared<tavlo::SerialExecutor>(kQueueLabel)) {}

AudioTapEngine::~AudioTapEngine() {
  stop();
  // May run on queue_'s own worker (a queued cycle held the last reference); the executor allows that.
  queue_->shutdown();
}

bool AudioTapEngine::start() {
  std::lock_guard turn(operationMutex_);
  const uint64_t generation = ++generation_;
  std::weak_ptr<AudioTapEngine> weak = weak_from_this();
  // The source's thread only queues the cycle: it holds the queue, never the engine, so the engine is
  // never released (and its source never stopped) on the source's own thread.
  std::shared_ptr<tavlo::SerialExecutor> queue = queue_;
  auto failure = source_->start([weak, queue, generation](const tavlo::AudioSampleBuffer& cycle) {
    queue->post([weak, generation, cycle] {
      if (auto self = weak.lock()) self->handleCycle(generation, cycle);
    });
  });
  if (failure) {
    running_ = false;
    if (systemLog_) systemLog_(std::string(kTapFailedLine) + " (" + *failure + ")");
    return false;
  }
  running_ = true;
  return true;
}

void AudioTapEngine::stop() {
  std::lock_guard turn(operationMutex_);
  ++generation_;
  if (!running_.exchange(false)) return;
  source_->stop();
}

void AudioTapEngine::flush() {
  queue_->sync([] {});
}

void AudioTapEngine::handleCycle(uint64_t generation, const tavlo::AudioSampleBuffer& cycle) {
  if (generation != generation_.load()) return;
  auto block = convertTapInput(cycle);
  if (block && onAudio_) onAudio_(*block);
}

}  // namespace vela
