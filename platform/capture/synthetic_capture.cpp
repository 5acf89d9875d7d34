#include "platform/capture/synthetic_capture.hpp"

#include <algorithm>
#include <utility>

#include "platform/video/nv12_buffer_pool.hpp"

namespace tavlo {

// One stream's state lives under the backend's mutex; the handle given to the consumer only forwards.
class SyntheticCapture::Stream {
 public:
  Stream(size_t record, CaptureConfiguration configuration, StopHandler onStop)
      : record(record), configuration(std::move(configuration)), onStop(std::move(onStop)) {}

  const size_t record;
  CaptureConfiguration configuration;
  const StopHandler onStop;
  CaptureStream::ScreenHandler screenHandler;
  std::shared_ptr<SerialExecutor> screenQueue;
  CaptureStream::AudioHandler audioHandler;
  std::shared_ptr<SerialExecutor> audioQueue;
  std::shared_ptr<Nv12BufferPool> pool;
  uint64_t nextFrame = 0;
  bool running = false;
};

class SyntheticCapture::StreamHandle final : public CaptureStream {
 public:
  StreamHandle(std::shared_ptr<SyntheticCapture> owner, std::shared_ptr<Stream> stream)
      : owner_(std::move(owner)), stream_(std::move(stream)) {}
  ~StreamHandle() override { owner_->dropStream(stream_); }

  void addScreenOutput(ScreenHandler handler, std::shared_ptr<SerialExecutor> queue) override {
    owner_->addScreenOutput(stream_, std::move(handler), std::move(queue));
  }
  void addAudioOutput(AudioHandler handler, std::shared_ptr<SerialExecutor> queue) override {
    owner_->addAudioOutput(stream_, std::move(handler), std::move(queue));
  }
  void startCapture() override { owner_->startCapture(stream_); }
  void updateConfiguration(const CaptureConfiguration& configuration) override {
    owner_->updateConfiguration(stream_, configuration);
  }
  void stopCapture() override { owner_->stopCapture(stream_); }

 private:
  const std::shared_ptr<SyntheticCapture> owner_;
  const std::shared_ptr<Stream> stream_;
};

std::shared_ptr<SyntheticCapture> SyntheticCapture::create(Options options) {
  return std::shared_ptr<SyntheticCapture>(new SyntheticCapture(std::move(options)));
}

SyntheticCapture::SyntheticCapture(Options options)
    : desktop_(options.seed), audioSource_(std::move(options.audioSource)), displays_(std::move(options.displays)) {}

void SyntheticCapture::takeFailure(Operation operation) {
  std::string description;
  {
    std::lock_guard guard(mutex_);
    auto found = failures_.find(operation);
    if (found == failures_.end()) return;
    description = std::move(found->second);
    failures_.erase(found);
  }
  throw CaptureStreamError(description);
}

void SyntheticCapture::prewarm() {
  std::lock_guard guard(mutex_);
  ++prewarmCount_;
}

std::vector<CaptureDisplay> SyntheticCapture::shareableDisplays() {
  takeFailure(Operation::shareableDisplays);
  std::lock_guard guard(mutex_);
  return displays_;
}

std::unique_ptr<CaptureStream> SyntheticCapture::makeStream(const CaptureDisplay& display,
                                                            const CaptureConfiguration& configuration,
                                                            StopHandler onStop) {
  takeFailure(Operation::makeStream);
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard guard(mutex_);
    StreamRecord record;
    record.display = display;
    record.configurations.push_back(configuration);
    records_.push_back(std::move(record));
    stream = std::make_shared<Stream>(records_.size() - 1, configuration, std::move(onStop));
    live_.push_back(stream);
  }

  return std::make_unique<StreamHandle>(shared_from_this(), std::move(stream));
}

void SyntheticCapture::dropStream(const std::shared_ptr<Stream>& stream) {
  bool hadAudio = false;
  {
    std::lock_guard guard(mutex_);
    stream->running = false;
    records_[stream->record].running = false;
    records_[stream->record].stopped = true;
    hadAudio = stream->audioHandler != nullptr;
    std::erase_if(live_, [&](const std::weak_ptr<Stream>& weak) { return weak.lock() == stream; });
  }
  if (hadAudio) audioOutputRemoved();
}

void SyntheticCapture::addScreenOutput(const std::shared_ptr<Stream>& stream, CaptureStream::ScreenHandler handler,
                                       std::shared_ptr<SerialExecutor> queue) {
  takeFailure(Operation::addScreenOutput);
  std::lock_guard guard(mutex_);
  stream->screenHandler = std::move(handler);
  stream->screenQueue = std::move(queue);
  records_[stream->record].hasScreenOutput = true;
}

void SyntheticCapture::addAudioOutput(const std::shared_ptr<Stream>& stream, CaptureStream::AudioHandler handler,
                                      std::shared_ptr<SerialExecutor> queue) {
  takeFailure(Operation::addAudioOutput);
  if (!audioSource_) throw CaptureStreamError("no system audio source");
  {
    std::lock_guard guard(mutex_);
    if (stream->audioHandler) {
      stream->audioHandler = std::move(handler);
      stream->audioQueue = std::move(queue);
      return;
    }
  }
  audioOutputAdded();
  std::lock_guard guard(mutex_);
  stream->audioHandler = std::move(handler);
  stream->audioQueue = std::move(queue);
  records_[stream->record].hasAudioOutput = true;
}

void SyntheticCapture::startCapture(const std::shared_ptr<Stream>& stream) {
  takeFailure(Operation::startCapture);
  std::lock_guard guard(mutex_);
  stream->running = true;
  records_[stream->record].running = true;
}

void SyntheticCapture::beforeNextUpdate(std::function<void()> hook) {
  std::lock_guard guard(mutex_);
  beforeNextUpdate_ = std::move(hook);
}

void SyntheticCapture::updateConfiguration(const std::shared_ptr<Stream>& stream,
                                           const CaptureConfiguration& configuration) {
  std::function<void()> hook;
  {
    std::lock_guard guard(mutex_);
    hook = std::exchange(beforeNextUpdate_, nullptr);
  }
  if (hook) hook();
  takeFailure(Operation::updateConfiguration);
  std::lock_guard guard(mutex_);
  stream->configuration = configuration;
  records_[stream->record].configurations.push_back(configuration);
}

void SyntheticCapture::stopCapture(const std::shared_ptr<Stream>& stream) {
  {
    std::lock_guard guard(mutex_);
    stream->running = false;
    records_[stream->record].running = false;
    records_[stream->record].stopped = true;
  }
  takeFailure(Operation::stopCapture);
}

void SyntheticCapture::audioOutputAdded() {
  bool first;
  {
    std::lock_guard guard(mutex_);
    first = audioOutputs_++ == 0;
  }
  if (!first) return;
  std::weak_ptr<SyntheticCapture> weak = weak_from_this();
  auto failure = audioSource_->start([weak](const AudioSampleBuffer& block) {
    if (auto self = weak.lock()) self->fanOutAudio(block);
  });
  if (failure) {
    std::lock_guard guard(mutex_);
    --audioOutputs_;
    throw CaptureStreamError(*failure);
  }
}

void SyntheticCapture::audioOutputRemoved() {
  bool last;
  {
    std::lock_guard guard(mutex_);
    last = --audioOutputs_ == 0;
  }
  if (last) audioSource_->stop();
}

void SyntheticCapture::fanOutAudio(const AudioSampleBuffer& block) {
  for (const auto& stream : runningStreams()) {
    CaptureStream::AudioHandler handler;
    std::shared_ptr<SerialExecutor> queue;
    {
      std::lock_guard guard(mutex_);
      handler = stream->audioHandler;
      queue = stream->audioQueue;
    }
    if (handler && queue) queue->post([handler, block] { handler(block); });
  }
}

std::vector<std::shared_ptr<SyntheticCapture::Stream>> SyntheticCapture::runningStreams() const {
  std::vector<std::shared_ptr<Stream>> running;
  std::lock_guard guard(mutex_);
  for (const auto& weak : live_) {
    if (auto stream = weak.lock(); stream && stream->running) running.push_back(stream);
  }
  return running;
}

void SyntheticCapture::setDisplays(std::vector<CaptureDisplay> displays) {
  std::lock_guard guard(mutex_);
  displays_ = std::move(displays);
}

void SyntheticCapture::failNext(Operation operation, std::string description) {
  std::lock_guard guard(mutex_);
  failures_[operation] = std::move(description);
}

size_t SyntheticCapture::emitFrame(CaptureFrameStatus status) {
  size_t delivered = 0;
  for (const auto& stream : runningStreams()) {
    ScreenSample sample;
    sample.status = status;
    CaptureStream::ScreenHandler handler;
    std::shared_ptr<SerialExecutor> queue;
    std::shared_ptr<Nv12Buffer> buffer;
    uint64_t index = 0;
    bool showsCursor = false;
    {
      std::lock_guard guard(mutex_);
      handler = stream->screenHandler;
      queue = stream->screenQueue;
      if (!handler || !queue) continue;
      if (status == CaptureFrameStatus::complete) {
        const auto& configuration = stream->configuration;
        const auto width = static_cast<int32_t>(std::clamp<int64_t>(configuration.width, 1, Nv12Buffer::kMaxSide));
        const auto height = static_cast<int32_t>(std::clamp<int64_t>(configuration.height, 1, Nv12Buffer::kMaxSide));
        if (!stream->pool || stream->pool->width() != width || stream->pool->height() != height) {
          stream->pool = Nv12BufferPool::create(width, height,
                                                static_cast<size_t>(std::max(configuration.queueDepth, 1)));
        }
        buffer = stream->pool->acquire();
        if (!buffer) {
          ++records_[stream->record].framesSkipped;
          continue;
        }
        index = stream->nextFrame++;
        showsCursor = configuration.showsCursor;
      }
      ++records_[stream->record].framesDelivered;
    }
    if (buffer) {
      desktop_.paint(index, showsCursor, *buffer);
      buffer->color = ColorDescription::bt709VideoRange();
      sample.image = std::move(buffer);
    }
    queue->post([handler, sample] { handler(sample); });
    queue->sync([] {});
    ++delivered;
  }
  return delivered;
}

size_t SyntheticCapture::emitFrames(size_t count) {
  size_t delivered = 0;
  for (size_t i = 0; i < count; ++i) delivered += emitFrame();
  return delivered;
}

size_t SyntheticCapture::emitScreenSample(const ScreenSample& sample) {
  size_t delivered = 0;
  for (const auto& stream : runningStreams()) {
    CaptureStream::ScreenHandler handler;
    std::shared_ptr<SerialExecutor> queue;
    {
      std::lock_guard guard(mutex_);
      handler = stream->screenHandler;
      queue = stream->screenQueue;
    }
    if (!handler || !queue) continue;
    queue->post([handler, sample] { handler(sample); });
    queue->sync([] {});
    ++delivered;
  }
  return delivered;
}

size_t SyntheticCapture::emitAudio(const AudioSampleBuffer& block) {
  size_t delivered = 0;
  for (const auto& stream : runningStreams()) {
    CaptureStream::AudioHandler handler;
    std::shared_ptr<SerialExecutor> queue;
    {
      std::lock_guard guard(mutex_);
      handler = stream->audioHandler;
      queue = stream->audioQueue;
    }
    if (!handler || !queue) continue;
    queue->post([handler, block] { handler(block); });
    queue->sync([] {});
    ++delivered;
  }
  return delivered;
}

void SyntheticCapture::stopStreamsOnTheirOwn(const std::string& description) {
  for (const auto& stream : runningStreams()) {
    {
      std::lock_guard guard(mutex_);
      stream->running = false;
      records_[stream->record].running = false;
    }
    if (stream->onStop) stream->onStop(description);
  }
}

void SyntheticCapture::flush() {
  std::vector<std::shared_ptr<SerialExecutor>> queues;
  {
    std::lock_guard guard(mutex_);
    for (const auto& weak : live_) {
      if (auto stream = weak.lock()) {
        if (stream->screenQueue) queues.push_back(stream->screenQueue);
        if (stream->audioQueue) queues.push_back(stream->audioQueue);
      }
    }
  }
  for (const auto& queue : queues) queue->sync([] {});
}

std::vector<SyntheticCapture::StreamRecord> SyntheticCapture::streams() const {
  std::lock_guard guard(mutex_);
  return records_;
}

size_t SyntheticCapture::runningStreamCount() const { return runningStreams().size(); }

int SyntheticCapture::prewarmCount() const {
  std::lock_guard guard(mutex_);
  return prewarmCount_;
}

}  // namespace tavlo
