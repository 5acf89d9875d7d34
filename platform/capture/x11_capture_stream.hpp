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
// The capture thread's start, stop and configuration hand-over are ThreadedCaptureStream's.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/capture/threaded_capture_stream.hpp"
#include "platform/capture/x11_frame_reader.hpp"
#include "platform/video/nv12_buffer_pool.hpp"

namespace tavlo {

class X11CaptureStream : public ThreadedCaptureStream {
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

 private:
  X11CaptureStream(std::unique_ptr<X11FrameReader> reader, const CaptureConfiguration& configuration,
                   std::shared_ptr<SystemAudioFanOut> audio, CaptureBackend::StopHandler onStop);
  void run() override;

  // Touched by the capture thread only while it runs (and by the constructor before).
  std::unique_ptr<X11FrameReader> reader_;
  std::shared_ptr<Nv12BufferPool> pool_;
};

}  // namespace tavlo
