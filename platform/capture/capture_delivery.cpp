#include "platform/capture/capture_delivery.hpp"

#include <string>

namespace tavlo {

void validateCaptureConfiguration(const CaptureConfiguration& configuration) {
  if (configuration.width < 1 || configuration.height < 1 || configuration.width > Nv12Buffer::kMaxSide ||
      configuration.height > Nv12Buffer::kMaxSide) {
    throw CaptureStreamError("capture size " + std::to_string(configuration.width) + "x" +
                             std::to_string(configuration.height) + " is out of range");
  }
  if (configuration.pixelFormat != Nv12Buffer::kPixelFormat) {
    throw CaptureStreamError("capture delivers only NV12 video range ('420v')");
  }
  if (configuration.queueDepth < 1) throw CaptureStreamError("capture queue depth must be at least 1");
}

Nv12View nv12ViewOf(Nv12Buffer& buffer) {
  return Nv12View{buffer.lumaPlane(), static_cast<int32_t>(buffer.lumaStride()), buffer.chromaPlane(),
                  static_cast<int32_t>(buffer.chromaStride()), buffer.width(), buffer.height()};
}

void CaptureScreenOutput::attach(CaptureStream::ScreenHandler handler, std::shared_ptr<SerialExecutor> queue) {
  std::lock_guard lock(mutex_);
  handler_ = std::make_shared<CaptureStream::ScreenHandler>(std::move(handler));
  queue_ = std::move(queue);
}

void CaptureScreenOutput::post(ScreenSample sample) {
  std::shared_ptr<CaptureStream::ScreenHandler> handler;
  std::shared_ptr<SerialExecutor> queue;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
    queue = queue_;
  }
  if (handler && queue) queue->post([handler, sample = std::move(sample)]() mutable { (*handler)(std::move(sample)); });
}

void CaptureAudioOutput::attach(CaptureStream::AudioHandler handler, std::shared_ptr<SerialExecutor> queue) {
  if (!source_) throw CaptureStreamError("no system audio source on this host");
  std::lock_guard lock(mutex_);
  handler_ = std::make_shared<CaptureStream::AudioHandler>(std::move(handler));
  queue_ = std::move(queue);
}

void CaptureAudioOutput::update(bool wanted) {
  SystemAudioFanOut::Subscriber subscriber;
  std::optional<uint64_t> cancel;
  {
    std::lock_guard lock(mutex_);
    wanted = wanted && source_ && handler_;
    if (wanted == subscription_.has_value()) return;
    if (wanted) {
      // The subscriber holds only what it posts with: a block in flight may reach it after the stream is gone.
      subscriber = std::make_shared<SystemAudioSource::BlockHandler>(
          [handler = handler_, queue = queue_](const AudioSampleBuffer& block) {
            queue->post([handler, block] { (*handler)(block); });
          });
    } else {
      cancel = subscription_;
      subscription_.reset();
    }
  }
  if (cancel) {
    source_->unsubscribe(*cancel);
    return;
  }
  auto token = source_->subscribe(std::move(subscriber));
  std::lock_guard lock(mutex_);
  subscription_ = token;
}

}  // namespace tavlo
