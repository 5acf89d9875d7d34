#pragma once
// The platform's screen capture, in the shape the capture engine drives: list the displays that can
// be captured, make a stream of one of them with a configuration, attach a screen output and an audio
// output each delivered on a serial queue of the caller's, start, reconfigure while running, stop.
//
// One backend serves every engine of the process: its methods are thread-safe. Every call may block
// (the X server's round trips, waiting for a grab thread) and runs on the caller's thread. Failures are
// thrown as CaptureStreamError carrying the platform's description; nothing else is thrown.
//
// Delivery: a stream posts each sample to the queue given for its output type, one post per sample, in
// order. It never blocks on the consumer: a frame whose pool buffer is not free (queue depth exhausted
// because the consumer holds them all) is skipped, not queued.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/audio/audio_sample_buffer.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "platform/video/nv12_buffer.hpp"

namespace tavlo {

// The platform's own error (a failed server request, a display that vanished, no audio source…).
class CaptureStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  std::string description() const { return what(); }
};

// Status of one screen sample, with the raw values the platform reports.
enum class CaptureFrameStatus : int64_t {
  complete = 0,   // a new picture
  idle = 1,       // nothing changed since the last picture: the sample carries no new content
  blank = 2,      // the display shows nothing
  suspended = 3,  // capture paused
  started = 4,    // the first sample after a start, without content
  stopped = 5,    // the last sample of a stream
};

// The colour space pictures are composed in before conversion to YCbCr.
enum class CaptureColorSpace : uint8_t { sRGB = 0 };

struct CaptureAudioSettings {
  int32_t sampleRate = 48000;
  int32_t channelCount = 2;
  bool excludesCurrentProcessAudio = true;
  friend bool operator==(const CaptureAudioSettings&, const CaptureAudioSettings&) = default;
};

struct CaptureConfiguration {
  static constexpr int32_t kDefaultQueueDepth = 8;

  int64_t width = 0;   // pixels of the delivered frames; the display is scaled to this size
  int64_t height = 0;
  uint32_t pixelFormat = Nv12Buffer::kPixelFormat;
  // No lower bound on the time between frames when 0: the stream's own pacing (the display's refresh,
  // its damage) sets the rate.
  uint64_t minimumFrameIntervalUs = 0;
  // Frames the consumer may hold at once (the size of the stream's buffer pool).
  int32_t queueDepth = kDefaultQueueDepth;
  bool showsCursor = false;  // draw the pointer into the pictures
  CaptureColorSpace colorSpaceName = CaptureColorSpace::sRGB;
  // Present when audio is captured (capturesAudio with its settings); absent, the stream carries none
  // and the audio settings stay at the platform's defaults.
  std::optional<CaptureAudioSettings> audio;

  friend bool operator==(const CaptureConfiguration&, const CaptureConfiguration&) = default;
};

// A display the platform offers for capture.
struct CaptureDisplay {
  uint32_t displayID = 0;  // on Xorg the RandR output's XID
  int64_t width = 0;       // its current size in pixels
  int64_t height = 0;
  friend bool operator==(const CaptureDisplay&, const CaptureDisplay&) = default;
};

// One screen sample. `status` is absent when the sample carries no status (it is then not a usable
// frame); `image` may be null (idle and status-only samples carry none).
struct ScreenSample {
  std::optional<CaptureFrameStatus> status;
  std::shared_ptr<const Nv12Buffer> image;
};

class CaptureStream {
 public:
  using ScreenHandler = std::function<void(ScreenSample sample)>;
  using AudioHandler = std::function<void(AudioSampleBuffer sample)>;

  // Destroying a stream stops it if it runs; no post starts after the destructor returns.
  virtual ~CaptureStream() = default;

  // Attaches the consumer of screen (or audio) samples, delivered on `queue`. Before startCapture.
  // Throws when the output cannot be attached (for audio: no system audio to be had).
  virtual void addScreenOutput(ScreenHandler handler, std::shared_ptr<SerialExecutor> queue) = 0;
  virtual void addAudioOutput(AudioHandler handler, std::shared_ptr<SerialExecutor> queue) = 0;

  // Blocks until capture runs. Throws when it cannot start.
  virtual void startCapture() = 0;
  // Takes a new configuration over while running (size, cursor, audio on or off). Throws when refused.
  virtual void updateConfiguration(const CaptureConfiguration& configuration) = 0;
  // Blocks until capture has stopped. Throws when stopping failed (the stream is stopped all the same).
  virtual void stopCapture() = 0;
};

class CaptureBackend {
 public:
  // Called (on an arbitrary thread) when the platform stops a stream on its own, with why.
  using StopHandler = std::function<void(const std::string& description)>;

  virtual ~CaptureBackend() = default;

  // Warms the platform's capture service up; returns at once and never fails.
  virtual void prewarm() {}
  // The displays that can be captured now, in the platform's order. Throws when the platform cannot say.
  virtual std::vector<CaptureDisplay> shareableDisplays() = 0;
  // A stream of `display` (one of shareableDisplays), not yet running. Throws when it cannot be made.
  virtual std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display,
                                                    const CaptureConfiguration& configuration,
                                                    StopHandler onStop) = 0;
};

}  // namespace tavlo
