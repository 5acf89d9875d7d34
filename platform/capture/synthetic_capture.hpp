#pragma once
// Screen capture made up in process, for deterministic tests of everything above the capture layer.
//
// Displays are whatever the test says. A stream delivers only when the test emits: emitFrame paints the
// seeded moving desktop (SyntheticDesktop) at the stream's configured size into a buffer of the stream's
// pool (queue depth buffers: a consumer that holds them all makes later frames skip) and delivers it
// with the status asked for; emitScreenSample and emitAudio deliver raw samples as a platform could. The
// emit calls return once the consumers' handlers have run. The audio side comes from a SystemAudioSource
// (SyntheticSystemAudio in tests), started while any stream with an audio output exists.
//
// Every operation can be made to fail once (failNext), and every stream's configurations are kept for
// inspection.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/system_audio_source.hpp"
#include "platform/capture/capture_backend.hpp"
#include "platform/capture/synthetic_desktop.hpp"

namespace tavlo {

class SyntheticCapture final : public CaptureBackend, public std::enable_shared_from_this<SyntheticCapture> {
 public:
  enum class Operation : uint8_t {
    shareableDisplays,
    makeStream,
    addScreenOutput,
    addAudioOutput,
    startCapture,
    updateConfiguration,
    stopCapture,
  };

  struct Options {
    uint64_t seed = 1;
    std::vector<CaptureDisplay> displays = {CaptureDisplay{1, 1920, 1080}};
    // The streams' audio side; without one, audio outputs cannot be added.
    std::shared_ptr<SystemAudioSource> audioSource;
  };

  // What the test can see of one stream (every stream ever made, in order).
  struct StreamRecord {
    CaptureDisplay display;
    std::vector<CaptureConfiguration> configurations;  // the one it was made with, then each update taken
    bool hasScreenOutput = false;
    bool hasAudioOutput = false;
    bool running = false;
    bool stopped = false;      // stopCapture was called, or the stream was dropped
    uint64_t framesDelivered = 0;
    uint64_t framesSkipped = 0;  // no free pool buffer
  };

  static std::shared_ptr<SyntheticCapture> create(Options options);
  static std::shared_ptr<SyntheticCapture> create() { return create(Options{}); }

  // CaptureBackend
  void prewarm() override;
  std::vector<CaptureDisplay> shareableDisplays() override;
  std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display, const CaptureConfiguration& configuration,
                                            StopHandler onStop) override;

  // Test controls.
  void setDisplays(std::vector<CaptureDisplay> displays);
  // The next call of `operation` throws CaptureStreamError(description) (stopCapture stops all the same).
  void failNext(Operation operation, std::string description);
  // One sample to every running stream: a freshly painted frame for `complete`, a sample without image
  // for any other status. Returns the number of streams that delivered it.
  size_t emitFrame(CaptureFrameStatus status = CaptureFrameStatus::complete);
  size_t emitFrames(size_t count);
  size_t emitScreenSample(const ScreenSample& sample);
  // One audio block to every running stream with an audio output.
  size_t emitAudio(const AudioSampleBuffer& block);
  // The platform stops every running stream on its own, telling each stream's owner why.
  void stopStreamsOnTheirOwn(const std::string& description);
  // Runs `hook` in the next updateConfiguration, before it takes effect (a test holds an update there).
  void beforeNextUpdate(std::function<void()> hook);
  // Waits until everything posted to the consumers' queues so far has been handled.
  void flush();

  std::vector<StreamRecord> streams() const;
  size_t runningStreamCount() const;
  int prewarmCount() const;

 private:
  class Stream;
  class StreamHandle;

  explicit SyntheticCapture(Options options);
  void takeFailure(Operation operation);
  void dropStream(const std::shared_ptr<Stream>& stream);
  void addScreenOutput(const std::shared_ptr<Stream>& stream, CaptureStream::ScreenHandler handler,
                       std::shared_ptr<SerialExecutor> queue);
  void addAudioOutput(const std::shared_ptr<Stream>& stream, CaptureStream::AudioHandler handler,
                      std::shared_ptr<SerialExecutor> queue);
  void startCapture(const std::shared_ptr<Stream>& stream);
  void updateConfiguration(const std::shared_ptr<Stream>& stream, const CaptureConfiguration& configuration);
  void stopCapture(const std::shared_ptr<Stream>& stream);
  std::vector<std::shared_ptr<Stream>> runningStreams() const;
  void audioOutputAdded();
  void audioOutputRemoved();
  void fanOutAudio(const AudioSampleBuffer& block);

  const SyntheticDesktop desktop_;
  const std::shared_ptr<SystemAudioSource> audioSource_;

  mutable std::mutex mutex_;  // every field below, and the state of every Stream
  std::vector<CaptureDisplay> displays_;
  std::map<Operation, std::string> failures_;
  std::function<void()> beforeNextUpdate_;
  std::vector<std::weak_ptr<Stream>> live_;
  std::vector<StreamRecord> records_;
  int prewarmCount_ = 0;
  int audioOutputs_ = 0;
};

}  // namespace tavlo
