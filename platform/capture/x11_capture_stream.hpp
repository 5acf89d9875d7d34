#pragma once
// One captured Xorg output. A capture thread of its own ("tavlo.x11grab") reads the output at the
// stream's pace: every frame interval (the configuration's minimum interval, else the dummy display's
// 60 Hz refresh) it takes the server's damage reports and, when the output's picture changed, grabs,
// converts and posts a complete frame to the screen queue in a buffer of the stream's pool. When the
// picture stands still it posts one idle sample and then nothing until it changes again. A frame for
// which the pool has no free buffer (the consumer holds queue-depth frames) is not grabbed; the change
// stays pending and goes out at the next interval with a free buffer.
//
// System audio, when the configuration asks for it and an audio output is attached, comes from the
// backend's shared system audio source (through SystemAudioFanOut) and is posted block by block to the
// audio queue. A source that cannot start leaves the stream without sound.
//
// The public methods may be called from any thread, one at a time (the capture engine serialises its
// turns); each takes the stream's one lock only for field updates and posts nothing while holding it.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/capture/capture_backend.hpp"
#include "platform/capture/capture_delivery.hpp"
#include "platform/capture/system_audio_fan_out.hpp"
#include "platform/capture/x11_frame_reader.hpp"
#include "platform/video/nv12_buffer_pool.hpp"

namespace tavlo {

class X11CaptureStream : public CaptureStream {
 public:
  // Frames are read this often when the configuration sets no minimum interval: the refresh rate of
  // the dummy outputs the virtual displays are made on (60 Hz).
  static constexpr uint64_t kDefaultFrameIntervalUs = 16'667;

  // Throws CaptureStreamError when the configuration cannot be delivered (size outside
  // 1…Nv12Buffer::kMaxSide, another pixel format, a queue depth below 1) or the server cannot be read.
  static std::unique_ptr<X11CaptureStream> create(const std::string& display, uint32_t outputId,
                                                  const CaptureConfiguration& configuration,
                                                  std::shared_ptr<SystemAudioFanOut> audio,
                                                  CaptureBackend::StopHandler onStop, int converterThreads);
  ~X11CaptureStream() override;

  void addScreenOutput(ScreenHandler handler, std::shared_ptr<SerialExecutor> queue) override;
  // Throws CaptureStreamError when the stream has no system audio source.
  void addAudioOutput(AudioHandler handler, std::shared_ptr<SerialExecutor> queue) override;
  void startCapture() override;
  // Waits until the capture thread has taken the configuration over (at most one frame's work).
  void updateConfiguration(const CaptureConfiguration& configuration) override;
  void stopCapture() override;

 private:
  X11CaptureStream(std::unique_ptr<X11FrameReader> reader, const CaptureConfiguration& configuration,
                   std::shared_ptr<SystemAudioFanOut> audio, CaptureBackend::StopHandler onStop);
  void run();
  void updateAudio(bool wanted);

  // Touched by the capture thread only while it runs (and by the constructor before).
  std::unique_ptr<X11FrameReader> reader_;
  std::shared_ptr<Nv12BufferPool> pool_;

  const CaptureBackend::StopHandler onStop_;
  CaptureScreenOutput screen_;
  CaptureAudioOutput audio_;

  std::mutex mutex_;
  std::condition_variable changed_;  // a new configuration, a stop, or a configuration taken over
  CaptureConfiguration configuration_;
  uint64_t generation_ = 1;         // bumped by every configuration
  uint64_t appliedGeneration_ = 0;  // the one the capture thread runs with
  bool running_ = false;
  bool stopping_ = false;
  bool threadExited_ = false;  // the capture thread has left its loop (stopped, or the server went)
  std::thread thread_;
};

}  // namespace tavlo
