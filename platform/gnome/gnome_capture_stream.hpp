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
// The public methods may be called from any thread, one at a time (the capture engine serialises its
// turns); each takes the stream's one lock only for field updates and posts nothing while holding it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/capture/capture_backend.hpp"
#include "platform/capture/capture_delivery.hpp"
#include "platform/capture/nv12_converter.hpp"
#include "platform/gnome/pipewire_screen_stream.hpp"
#include "platform/video/nv12_buffer_pool.hpp"

namespace tavlo {

class GnomeCaptureStream : public CaptureStream {
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

  void addScreenOutput(ScreenHandler handler, std::shared_ptr<SerialExecutor> queue) override;
  // Throws CaptureStreamError when the backend has no system audio source.
  void addAudioOutput(AudioHandler handler, std::shared_ptr<SerialExecutor> queue) override;
  // Throws CaptureStreamError when the monitor's stream has failed or is closed.
  void startCapture() override;
  // Waits until the capture thread has taken the configuration over (at most one frame's work).
  void updateConfiguration(const CaptureConfiguration& configuration) override;
  void stopCapture() override;

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
  void run();
  Step waitForStep(Pacing& pacing, FrameWork& work, std::optional<CaptureConfiguration>& configuration);
  void configure(const CaptureConfiguration& configuration, Pacing& pacing);
  bool render(FrameWork& work, bool showsCursor);
  void receive(std::shared_ptr<const ScreenFrame> picture, const ScreenCursor& cursor);
  void updateAudio(bool wanted);

  const std::shared_ptr<PipeWireScreenStream> source_;
  const CaptureBackend::StopHandler onStop_;
  const int converterThreads_;
  CaptureScreenOutput screen_;
  CaptureAudioOutput audio_;

  // Touched by the capture thread only while it runs.
  std::shared_ptr<Nv12BufferPool> pool_;
  std::unique_ptr<Nv12Converter> converter_;
  std::vector<uint8_t> withCursor_;  // the picture with the pointer drawn in

  std::mutex mutex_;
  std::condition_variable changed_;  // news from the source, a configuration, a stop, or a configuration taken over
  CaptureConfiguration configuration_;
  uint64_t generation_ = 1;         // bumped by every configuration
  uint64_t appliedGeneration_ = 0;  // the one the capture thread runs with
  bool running_ = false;
  bool stopping_ = false;
  bool threadExited_ = false;
  std::shared_ptr<const ScreenFrame> picture_;  // the newest picture the source sent
  ScreenCursor cursor_;
  bool pictureNews_ = false;  // picture_ came after the last frame
  bool cursorNews_ = false;   // the pointer moved or changed since the last frame
  std::optional<uint64_t> subscription_;
  std::thread thread_;
};

}  // namespace tavlo
