#pragma once
// The delivering side that every real capture stream shares: what configurations a stream can
// deliver, the NV12 view of a pool buffer, the screen output's handler and queue, and the audio output
// with its subscription to the backend's shared system audio.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/capture/capture_backend.hpp"
#include "platform/capture/nv12_converter.hpp"
#include "platform/capture/system_audio_fan_out.hpp"

namespace tavlo {

// Throws CaptureStreamError when the configuration cannot be delivered: a size outside
// 1…Nv12Buffer::kMaxSide, another pixel format, a queue depth below 1.
void validateCaptureConfiguration(const CaptureConfiguration& configuration);

// The writable NV12 picture of a buffer.
Nv12View nv12ViewOf(Nv12Buffer& buffer);

// The consumer of screen samples and its queue. Thread-safe; posts without holding its lock.
class CaptureScreenOutput {
 public:
  void attach(CaptureStream::ScreenHandler handler, std::shared_ptr<SerialExecutor> queue);
  // One post to the consumer's queue; nothing before a consumer is attached.
  void post(ScreenSample sample);

 private:
  std::mutex mutex_;
  std::shared_ptr<CaptureStream::ScreenHandler> handler_;
  std::shared_ptr<SerialExecutor> queue_;
};

// The consumer of audio blocks and the stream's subscription to the shared source, on while the stream
// runs with audio wanted. A source that cannot start leaves the stream without sound. Thread-safe;
// subscribes and unsubscribes without holding its lock.
class CaptureAudioOutput {
 public:
  explicit CaptureAudioOutput(std::shared_ptr<SystemAudioFanOut> source) : source_(std::move(source)) {}
  ~CaptureAudioOutput() { update(false); }

  // Throws CaptureStreamError when the backend has no system audio source.
  void attach(CaptureStream::AudioHandler handler, std::shared_ptr<SerialExecutor> queue);
  // Subscribes when `wanted` and a consumer is attached, unsubscribes otherwise.
  void update(bool wanted);

 private:
  const std::shared_ptr<SystemAudioFanOut> source_;  // null: no system audio
  std::mutex mutex_;
  std::shared_ptr<CaptureStream::AudioHandler> handler_;
  std::shared_ptr<SerialExecutor> queue_;
  std::optional<uint64_t> subscription_;  // while the stream receives system audio
};

}  // namespace tavlo
