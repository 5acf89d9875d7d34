#pragma once
// One captured virtual monitor of the GNOME desktop, read from its screen-cast stream. Mutter sends a
// picture only when something was drawn; each one is converted (scaled to the configuration's size,
// the pointer drawn in from the stream's metadata when the configuration shows it) and posted as a
// complete frame in a buffer of the stream's pool, no sooner than the minimum frame interval after the
// previous one. When nothing came for a frame interval (the configuration's, else 60 Hz) it posts one
// idle sample and then nothing until the picture changes again. A picture for which the pool has no
// free buffer (the consumer holds queue-depth frames) is not converted; the newest picture goes out at
// the next interval with a free buffer.
//
// System audio, when the configuration asks for it and an audio output is attached, comes from the
// backend's shared system audio source as on every other desktop.
//
// When the monitor's stream fails or is closed under it, the stream stops and says so through the
// backend's stop handler.
//
// The capture thread's start, stop and configuration hand-over are ThreadedCaptureStream's; the
// pictures and pointer the source sends are fields under the same lock.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/capture/nv12_converter.hpp"
#include "platform/capture/threaded_capture_stream.hpp"
#include "platform/gnome/pipewire_screen_stream.hpp"
#include "platform/video/nv12_buffer_pool.hpp"

namespace tavlo {

class GnomeCaptureStream : public ThreadedCaptureStream {
 public:
  // The idle sample follows this long a quiet spell when the configuration sets no minimum interval:
  // the refresh of mutter's virtual monitors (60 Hz).
  static constexpr uint64_t kDefaultFrameIntervalUs = 16'667;
  // How often a quiet stream looks whether its monitor's stream is still there.
  static constexpr std::chrono::milliseconds kSourceCheckInterval{250};

  // Throws CaptureStreamError when the configuration cannot be delivered.
  static std::unique_ptr<GnomeCaptureStream> create(std::shared_ptr<PipeWireScreenStream> source,
                                                    const CaptureConfiguration& configuration,
                                                    std::shared_ptr<SystemAudioFanOut> audio,
                                                    CaptureBackend::StopHandler onStop, int converterThreads);
  ~GnomeCaptureStream() override;

  // Throws CaptureStreamError when the monitor's stream has failed or is closed.
  void startCapture() override;

 private:
  using SteadyTime = std::chrono::steady_clock::time_point;
  // The capture thread's own schedule.
  struct Pacing {
    std::chrono::microseconds minimumInterval{0};
    std::chrono::microseconds idleDelay{kDefaultFrameIntervalUs};
    SteadyTime nextFrame{};
    SteadyTime idleAt{};
    bool idleReported = false;
    bool forceFrame = false;  // a new configuration: deliver the current picture again
    bool showsCursor = false;
  };
  enum class Step { stop, configure, frame, idle, checkSource };
  // What a frame step renders: the picture and pointer current when the step was taken.
  struct FrameWork {
    std::shared_ptr<Nv12Buffer> target;
    std::shared_ptr<const ScreenFrame> picture;
    ScreenCursor cursor;
  };

  GnomeCaptureStream(std::shared_ptr<PipeWireScreenStream> source, const CaptureConfiguration& configuration,
                     std::shared_ptr<SystemAudioFanOut> audio, CaptureBackend::StopHandler onStop,
                     int converterThreads);
  void run() override;
  void openSource() override;
  void closeSource() override;
  Step waitForStep(Pacing& pacing, FrameWork& work, std::optional<CaptureConfiguration>& configuration);
  void configure(const CaptureConfiguration& configuration, Pacing& pacing);
  bool render(FrameWork& work, bool showsCursor);
  void receive(std::shared_ptr<const ScreenFrame> picture, const ScreenCursor& cursor);

  const std::shared_ptr<PipeWireScreenStream> source_;
  const int converterThreads_;

  // Touched by the capture thread only while it runs.
  std::shared_ptr<Nv12BufferPool> pool_;
  std::unique_ptr<Nv12Converter> converter_;
  std::vector<uint8_t> withCursor_;  // the picture with the pointer drawn in

  // Under the stream's lock; news here wakes the capture thread through its condition variable.
  std::shared_ptr<const ScreenFrame> picture_;  // the newest picture the source sent
  ScreenCursor cursor_;
  bool pictureNews_ = false;  // picture_ came after the last frame
  bool cursorNews_ = false;   // the pointer moved or changed since the last frame
  std::optional<uint64_t> subscription_;
};

}  // namespace tavlo
