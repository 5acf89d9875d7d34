#pragma once
// Captures one display and hands each new picture to its owner, stamped with the clock's time of its
// arrival, and, when asked, the system's audio as blocks of interleaved 16-bit stereo. The engine
// decides nothing about frame rate, encoding or sending: it configures the platform's stream, filters
// what the stream delivers, and reports.
//
// Owned through std::shared_ptr (made by create()); the callbacks an owner installs should hold the owner
// weakly. Frames arrive on the serial queue "vela.capture", audio on "vela.capture.audio", one at a time
// and in order, the two independently of each other; the callbacks run there without any engine lock
// held.
//
// start, updateFrameInterval, updateSize, setShowsCursor, stop and restart block until the platform has
// answered and run one at a time per engine (a second caller waits for the first); an owner must not
// call them from the engine's own queues. Every callback slot may be replaced from any thread at any time.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "hostcore/engines/captured_audio_converter.hpp"
#include "hostcore/engines/capture_error.hpp"
#include "platform/capture/capture_backend.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace vela {

class CaptureEngine : public std::enable_shared_from_this<CaptureEngine> {
 public:
  using PixelBuffer = std::shared_ptr<const tavlo::Nv12Buffer>;
  using FrameCallback = std::function<void(const PixelBuffer& pixelBuffer, uint64_t captureTimestampUs)>;
  using AudioCallback = std::function<void(const tavlo::Bytes& block)>;
  using LogCallback = std::function<void(const std::string& line)>;

  static constexpr const char* kQueueLabel = "vela.capture";
  static constexpr const char* kAudioQueueLabel = "vela.capture.audio";
  // The stream's audio: 48 kHz stereo, without this process's own sound.
  static constexpr int32_t kAudioSampleRate = 48000;
  static constexpr int32_t kAudioChannelCount = 2;
  // The format line is logged for the first audio buffer; a buffer that converts to nothing is logged
  // for buffers 1, 1 + this, 1 + 2 × this, …
  static constexpr int64_t kAudioNilLogEvery = 200;

  // The arguments of the most recent start, replayed by restart.
  struct StartArguments {
    uint32_t id = 0;
    int64_t w = 0;
    int64_t h = 0;
    int64_t fps = 0;
    bool audio = true;
    bool cursor = false;
    friend bool operator==(const StartArguments&, const StartArguments&) = default;
  };

  // The configuration in force (the `cur` fields): size, the frame rate the owner asked for (it is only
  // remembered: the stream's own pacing sets the rate) and whether audio is captured.
  struct CurrentConfiguration {
    int64_t w = 0;
    int64_t h = 0;
    int64_t fps = 0;
    bool audio = true;
    bool showsCursor = false;
    friend bool operator==(const CurrentConfiguration&, const CurrentConfiguration&) = default;
  };

  // `clock` stamps the frames; it must outlive the engine.
  static std::shared_ptr<CaptureEngine> create(std::shared_ptr<tavlo::CaptureBackend> backend, FrameCallback onFrame,
                                               const tavlo::Clock& clock = tavlo::SteadyClock::shared());
  // Releasing the engine drops its stream (which stops it); owners stop first all the same.
  ~CaptureEngine();
  CaptureEngine(const CaptureEngine&) = delete;
  CaptureEngine& operator=(const CaptureEngine&) = delete;

  // Warms the platform's capture service up at launch; returns at once.
  static void prewarm(tavlo::CaptureBackend& backend);

  void setOnFrame(FrameCallback onFrame);
  void setOnAudio(AudioCallback onAudio);
  void setOnLog(LogCallback onLog);

  // Starts capturing `displayID` at that size. The arguments are remembered before anything can fail,
  // so a failed start is still replayed by restart. Throws CaptureError::displayNotFound when no offered
  // display has the id, tavlo::CaptureStreamError when the platform fails; the previous stream (if the
  // owner did not stop it) is replaced only by a stream that started.
  void start(uint32_t displayID, int64_t pixelWidth, int64_t pixelHeight, int64_t fps, bool captureAudio,
             bool showsCursor);
  // Apply a new configuration to the running stream; nothing without one. A refusal is ignored.
  void updateFrameInterval(int64_t fps, int64_t width, int64_t height, bool captureAudio);
  // updateFrameInterval with audio on, whatever the stream was started with.
  void updateSize(int64_t width, int64_t height, int64_t fps);
  // Remembered for the next start or restart; applied to the running stream at once when there is one.
  void setShowsCursor(bool showsCursor);
  // Stops and drops the stream; nothing without one. Never fails.
  void stop();
  // Stops the stream if there is one and starts again with the last start's size, frame rate and audio
  // flag, the latest cursor flag, and `displayID` when given (remembered for later restarts too).
  // Nothing when the engine was never started; a failed start is logged ("❌ restart SCK: …") and leaves
  // the engine without a stream.
  void restart(std::optional<uint32_t> displayID);

  std::optional<StartArguments> lastStart() const;
  CurrentConfiguration currentConfiguration() const;
  bool isRunning() const;
  // Audio sample buffers received since construction.
  int64_t audioBuffersSeen() const;

 private:
  CaptureEngine(std::shared_ptr<tavlo::CaptureBackend> backend, FrameCallback onFrame, const tavlo::Clock& clock);

  static tavlo::CaptureConfiguration makeConfiguration(int64_t width, int64_t height, bool showsCursor,
                                                       bool captureAudio);
  // The operations below run with operationMutex_ held.
  void startTurn(const StartArguments& arguments);
  void updateTurn(int64_t fps, int64_t width, int64_t height, bool captureAudio);
  void stopTurn();

  void handleScreen(tavlo::ScreenSample sample);
  void handleAudio(tavlo::AudioSampleBuffer sample);
  LogCallback logCallback() const;
  void log(const std::string& line) const;

  const std::shared_ptr<tavlo::CaptureBackend> backend_;
  const tavlo::Clock& clock_;
  const std::shared_ptr<tavlo::SerialExecutor> queue_;
  const std::shared_ptr<tavlo::SerialExecutor> audioQueue_;

  // One operation (start, update, cursor, stop, restart) at a time; held across the platform's answer.
  std::mutex operationMutex_;

  mutable std::mutex callbackMutex_;  // the replaceable callbacks
  std::shared_ptr<const FrameCallback> onFrame_;
  std::shared_ptr<const AudioCallback> onAudio_;
  LogCallback onLog_;

  mutable std::mutex stateMutex_;  // the fields below
  std::shared_ptr<tavlo::CaptureStream> stream_;
  CurrentConfiguration current_;
  std::optional<StartArguments> lastStart_;
  int64_t audioSbSeen_ = 0;  // written on audioQueue_ only; read by audioBuffersSeen()

  CapturedAudioConverter converter_;  // audioQueue_ only
};

}  // namespace vela
