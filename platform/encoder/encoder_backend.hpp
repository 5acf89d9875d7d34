#pragma once
// The platform's HEVC compression, in the shape the encoder engine drives: make a compression session
// for a size (trying the kinds of encoder in the engine's order of preference), set its properties,
// submit frames with per-frame options, receive each encoded sample once through the frame's handler.
//
// Threads: one backend serves every engine of the process; every method may be called from any thread,
// concurrently. encodeFrame hands the frame to the session's encode worker and returns at once; the
// handler of each accepted frame is called exactly once, in submission order, on the session's output
// thread, which is neither the caller's nor the encode worker's (the consumer may block there: the
// session paces its sends on it). A session that has been invalidated drops the frames it still holds
// without calling their handlers.
//
// Property setters act on the next frame that starts encoding and return the status of the request:
// kEncoderOk, or an error when the session refuses the value or does not have the property.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/runtime/bytes.hpp"
#include "platform/video/color_description.hpp"
#include "platform/video/nv12_buffer.hpp"

namespace tavlo {

// The outcome of a request: 0 for success, a negative code otherwise (printed in log lines as a number).
using EncoderStatus = int32_t;
inline constexpr EncoderStatus kEncoderOk = 0;
inline constexpr EncoderStatus kEncoderPropertyNotSupported = -1;  // the session has no such property
inline constexpr EncoderStatus kEncoderInvalidValue = -2;          // the value is refused
inline constexpr EncoderStatus kEncoderInvalidSession = -3;        // the session has been invalidated
inline constexpr EncoderStatus kEncoderFailed = -4;                // the encoder failed (a frame, a submission)

// What kind of encoder a session must be; createSession refuses what it cannot provide.
struct EncoderSpecification {
  bool requireHardwareAcceleratedVideoEncoder = false;
  bool enableLowLatencyRateControl = false;
};

enum class HevcProfileLevel : uint8_t { mainAutoLevel = 0 };

// At most `bytes` bytes in any window of `seconds`.
struct DataRateLimit {
  int64_t bytes = 0;
  double seconds = 0;
  friend bool operator==(const DataRateLimit&, const DataRateLimit&) = default;
};

struct EncodeFrameOptions {
  bool forceKeyFrame = false;
  // Encode this frame from an acknowledged long-term reference instead of the previous frame.
  bool forceLTRRefresh = false;
  // Tokens of long-term references the receiver has acknowledged since the last frame.
  std::vector<int64_t> acknowledgedLTRTokens;
  friend bool operator==(const EncodeFrameOptions&, const EncodeFrameOptions&) = default;
};

struct EncoderInputFrame {
  // Normally of the session's size; a picture of another size is scaled to it by the session.
  std::shared_ptr<const Nv12Buffer> image;
  ColorDescription color;                   // the picture's colours (BT.709 unless its buffer says otherwise)
  int64_t presentationTimeUs = 0;
  int64_t durationUs = 0;
  std::optional<EncodeFrameOptions> options;  // absent: no per-frame options
};

// One encoded frame as the session delivers it.
struct EncodedSample {
  // The whole access unit: HEVC NAL units, each behind a big-endian length of nalUnitLengthSize bytes.
  // Absent when the sample's data cannot be reached.
  std::optional<Bytes> data;
  int32_t nalUnitLengthSize = 4;
  // The "not sync" attachment: true for a frame that is not a random-access (IDR) picture; absent counts
  // as sync.
  std::optional<bool> notSync;
  // Present when the frame is a long-term reference whose acknowledgement the session asks for.
  std::optional<int64_t> requireLTRAcknowledgementToken;
  // The stream's parameter sets (VPS, SPS, PPS as an Annex-B stream) as its format description carries
  // them; absent when the format has none yet.
  std::optional<Bytes> formatParameterSets;
};

using EncodeOutputHandler = std::function<void(EncoderStatus status, std::optional<EncodedSample> sample)>;

class CompressionSession {
 public:
  // Destroying a session invalidates it.
  virtual ~CompressionSession() = default;

  virtual EncoderStatus setRealTime(bool on) = 0;
  virtual EncoderStatus setAllowFrameReordering(bool allow) = 0;
  virtual EncoderStatus setMaxFrameDelayCount(int64_t frames) = 0;
  virtual EncoderStatus setPrioritizeEncodingSpeedOverQuality(bool on) = 0;
  virtual EncoderStatus setProfileLevel(HevcProfileLevel level) = 0;
  // The longest run of frames without a keyframe, in frames and in seconds; whichever comes first.
  virtual EncoderStatus setMaxKeyFrameInterval(int64_t frames) = 0;
  virtual EncoderStatus setMaxKeyFrameIntervalDuration(double seconds) = 0;
  virtual EncoderStatus setAverageBitRate(int64_t bitsPerSecond) = 0;
  // Absent: no limits.
  virtual EncoderStatus setDataRateLimits(const std::optional<std::vector<DataRateLimit>>& limits) = 0;
  virtual EncoderStatus setExpectedFrameRate(int64_t framesPerSecond) = 0;
  virtual EncoderStatus setMaxAllowedFrameQP(int64_t qp) = 0;
  virtual EncoderStatus setMinAllowedFrameQP(int64_t qp) = 0;
  // Colour primaries, transfer function and YCbCr matrix written into the stream.
  virtual EncoderStatus setColorDescription(const ColorDescription& color) = 0;
  // Long-term references with acknowledgement tokens; a session without them refuses.
  virtual EncoderStatus setEnableLTR(bool on) = 0;

  // Allocates what encoding needs before the first frame.
  virtual EncoderStatus prepareToEncodeFrames() = 0;
  // Whether a hardware encoder runs the session; absent when the session cannot say.
  virtual std::optional<bool> usingHardwareAcceleratedVideoEncoder() const = 0;

  // Submits one frame. kEncoderOk: `handler` will be called once with the outcome; anything else: the
  // frame was refused and `handler` is never called.
  virtual EncoderStatus encodeFrame(EncoderInputFrame frame, EncodeOutputHandler handler) = 0;
  // Ends the session for good: frames still held are dropped, later calls are refused. May be called
  // from any thread, the output thread included (it then does not wait for itself).
  virtual void invalidate() = 0;
};

class EncoderBackend {
 public:
  virtual ~EncoderBackend() = default;
  // A session encoding width × height HEVC Main, or nullptr when what is requested cannot be met or the
  // size is not encodable.
  virtual std::shared_ptr<CompressionSession> createSession(int32_t width, int32_t height,
                                                            const EncoderSpecification& requested) = 0;
};

}  // namespace tavlo
