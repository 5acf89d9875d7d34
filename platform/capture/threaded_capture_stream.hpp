#pragma once
// The part every real capture stream shares: a capture thread of its own, started and stopped with the
// capture, to which each configuration is handed over by generation, the screen output it posts to and
// the audio output fed from the backend's shared system audio source (through SystemAudioFanOut). A
// stream adds only where its pictures come from and how its thread waits for them (run()).
//
// The public methods may be called from any thread, one at a time (the capture engine serialises its
// turns); each takes the stream's one lock only for field updates and posts nothing while holding it.
// A stream's own shared fields are guarded by the same lock, and its news wake the thread through the
// same condition variable.
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

namespace tavlo {

class ThreadedCaptureStream : public CaptureStream {
 public:
  void addScreenOutput(ScreenHandler handler, std::shared_ptr<SerialExecutor> queue) override;
  // Throws CaptureStreamError when the backend has no system audio source.
  void addAudioOutput(AudioHandler handler, std::shared_ptr<SerialExecutor> queue) override;
  void startCapture() override;
  // Waits until the capture thread has taken the configuration over (at most one frame's work).
  void updateConfiguration(const CaptureConfiguration& configuration) override;
  void stopCapture() override;

 protected:
  // `threadLabel` names the capture thread.
  ThreadedCaptureStream(const char* threadLabel, const CaptureConfiguration& configuration,
                        std::shared_ptr<SystemAudioFanOut> audio, CaptureBackend::StopHandler onStop);
  // A stream's destructor calls stopCapture() itself: the capture thread runs the stream's own run().
  ~ThreadedCaptureStream() override = default;

  // With the lock held: a stop was asked; a configuration waits to be taken over; the waiting one,
  // taken over (none when the thread runs with the newest).
  bool stopAskedLocked() const { return stopping_; }
  bool configurationWaitingLocked() const { return generation_ != appliedGeneration_; }
  std::optional<CaptureConfiguration> takeConfigurationLocked();
  // Without the lock, once the configuration taken over is in force: lets updateConfiguration return.
  void configurationApplied() { changed_.notify_all(); }

  void post(ScreenSample sample) { screen_.post(std::move(sample)); }
  // The platform stopped the stream on its own, for `why`.
  void reportStop(const std::string& why) const {
    if (onStop_) onStop_(why);
  }

  std::mutex mutex_;
  std::condition_variable changed_;  // a stream's news, a configuration, a stop, or a configuration taken over

 private:
  // The capture thread's loop; it returns when a stop is asked or the source is lost.
  virtual void run() = 0;
  // Before the thread of a start is made, without the lock: the stream begins to receive from its source.
  virtual void openSource() {}
  // After a stop is asked and before the thread is joined, without the lock: the stream receives no more.
  virtual void closeSource() {}
  void runThread();
  void updateAudio(bool wanted);

  const char* const threadLabel_;
  const CaptureBackend::StopHandler onStop_;
  CaptureScreenOutput screen_;
  CaptureAudioOutput audio_;

  CaptureConfiguration configuration_;
  uint64_t generation_ = 1;         // bumped by every configuration
  uint64_t appliedGeneration_ = 0;  // the one the capture thread runs with
  bool running_ = false;
  bool stopping_ = false;
  bool threadExited_ = false;  // the capture thread has left its loop (stopped, or the source went)
  std::thread thread_;
};

}  // namespace tavlo
