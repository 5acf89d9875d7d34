#pragma once
// Turns one stream's captured frames into low-latency HEVC: one real-time compression session without
// reordering or frame delay, long-term references for loss recovery where the platform has them, and a
// keyframe burst cap derived from the frame area. Each encoded frame comes back as an EncodedFrame
// through onFrame, on the compression session's output thread (the session paces its sends there).
//
// Owned through std::shared_ptr (made by create()); callbacks an owner installs should hold the owner
// weakly. encode is called on the owner's encode queue; setters come from any thread. One lock guards the
// counters, the presentation clock, the callbacks, keyframeSecNow, effFps and appliedMaxQP; callbacks run
// without it.
//
// Without a compression session (every kind refused, or after invalidate) encode and the session's
// property setters do nothing.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostcore/engines/encoded_frame.hpp"
#include "media/diagnostics/signposts.hpp"
#include "platform/encoder/encoder_backend.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/json_store.hpp"

namespace vela {

class EncoderEngine : public std::enable_shared_from_this<EncoderEngine> {
 public:
  using PixelBuffer = std::shared_ptr<const tavlo::Nv12Buffer>;
  using FrameCallback = std::function<void(const EncodedFrame& frame)>;
  using LogCallback = std::function<void(const std::string& line)>;
  using EncodeStatsCallback = std::function<void(uint64_t averageUs, uint64_t maximumUs)>;

  // Bounds of the effective frame rate, the keyframe interval and the frame QP limits.
  static constexpr int64_t kMinEffFps = 1;
  static constexpr int64_t kMaxEffFps = 240;
  static constexpr double kMinKeyframeSec = 0.1;
  static constexpr double kMaxKeyframeSec = 10.0;
  static constexpr int64_t kInitialMaxFrameQP = 44;
  static constexpr int64_t kInitialMinFrameQP = 10;
  static constexpr int64_t kMaxQPLow = 10;  // setMaxFrameQP clamps to kMaxQPLow…kQPHigh
  static constexpr int64_t kMinQPLow = 1;   // setMinFrameQP clamps to kMinQPLow…kQPHigh
  static constexpr int64_t kQPHigh = 51;
  // Encode durations are summarised (log line and onEncodeStats) once per this many frames.
  static constexpr int64_t kStatsWindowFrames = 60;

  struct ThroughputWindow {
    int64_t framesDone = 0;
    // Intervals between two consecutive returns while the encoder still had work queued at the first.
    std::vector<uint64_t> saturatedIntervalsUs;
  };

  // Creates the engine and its compression session (a hardware encoder first, then one with low-latency
  // rate control, then any) for width × height at `fps`, `bitrate` bit/s and a keyframe at least every
  // `keyframeSec`. `clock` times the encodes and must outlive the engine; `settings` holds the burst-cap
  // tunables (null: defaults).
  static std::shared_ptr<EncoderEngine> create(std::shared_ptr<tavlo::EncoderBackend> backend, int64_t width,
                                               int64_t height, int64_t fps, int64_t bitrate, double keyframeSec,
                                               FrameCallback onFrame,
                                               const tavlo::Clock& clock = tavlo::SteadyClock::shared(),
                                               std::shared_ptr<const tavlo::JsonStore> settings = nullptr);
  ~EncoderEngine();
  EncoderEngine(const EncoderEngine&) = delete;
  EncoderEngine& operator=(const EncoderEngine&) = delete;

  // Submits one frame; the result arrives later through onFrame. Every call takes the next frame id and
  // presentation time, also when the platform refuses the frame.
  void encode(const PixelBuffer& pixelBuffer, uint64_t captureTimestampUs, bool forceKeyframe, bool forceLTRRefresh,
              const std::vector<int64_t>& acknowledgedLTRTokens);

  // Frames submitted and not yet returned.
  int64_t framesInFlight() const;
  // The frames returned and the saturated intervals since the last call; empties both.
  ThroughputWindow drainThroughputWindow();

  void setBitrate(int64_t bps);
  // Clamped to kMinKeyframeSec…kMaxKeyframeSec; applied in frames (at effFps) and in seconds.
  void setKeyframeInterval(double seconds);
  // Clamped to kMinEffFps…kMaxEffFps; the presentation step and the keyframe interval in frames follow.
  void setEffectiveFps(int64_t fps);
  void setMaxFrameQP(int64_t qp);
  int64_t currentMaxQP() const;
  void setMinFrameQP(int64_t qp);
  // At most `bytes` (at least 1) in any window of `seconds`, for each pair; a refusal is logged and the
  // QP ceiling stays in charge.
  void setDataRateLimits(const std::vector<tavlo::DataRateLimit>& limits);
  void clearDataRateLimits();
  void setOnFrame(FrameCallback onFrame);
  void setOnLog(LogCallback onLog);
  void setOnEncodeStats(EncodeStatsCallback onEncodeStats);
  // Ends the compression session for good; counters, presentation clock and parameter-set state stay.
  void invalidate();

  bool ltrEnabled() const { return ltrEnabled_; }
  bool hardwareAccelerated() const { return hardwareAccelerated_; }
  bool lowLatencyRC() const { return lowLatencyRC_; }
  bool hasCompressionSession() const;
  int64_t width() const { return width_; }
  int64_t height() const { return height_; }
  int64_t fps() const { return fps_; }
  int64_t effFps() const;
  double keyframeSecNow() const;

 private:
  // What the output handler of one frame carries.
  struct Submission {
    uint32_t frameId = 0;
    uint64_t captureTimestampUs = 0;
    uint64_t submittedUs = 0;
    Signposts::IntervalState signpost;
    bool isLTRRefresh = false;
  };

  EncoderEngine(std::shared_ptr<tavlo::EncoderBackend> backend, int64_t width, int64_t height, int64_t fps,
                double keyframeSec, FrameCallback onFrame, const tavlo::Clock& clock,
                std::shared_ptr<const tavlo::JsonStore> settings);
  void setUp(int64_t bitrate, double keyframeSec);
  std::shared_ptr<tavlo::CompressionSession> currentSession() const;
  tavlo::DataRateLimit burstCap() const;
  void handleOutput(const Submission& submission, tavlo::EncoderStatus status,
                    std::optional<tavlo::EncodedSample> sample);
  void handleSample(const Submission& submission, tavlo::EncodedSample sample);
  void log(const std::string& line) const;

  const std::shared_ptr<tavlo::EncoderBackend> backend_;
  const int64_t width_;
  const int64_t height_;
  const int64_t fps_;
  const tavlo::Clock& clock_;
  const std::shared_ptr<const tavlo::JsonStore> settings_;
  // Written once by setUp, during construction.
  bool ltrEnabled_ = false;
  bool hardwareAccelerated_ = false;
  bool lowLatencyRC_ = false;

  mutable std::mutex mutex_;  // every field below
  std::shared_ptr<tavlo::CompressionSession> session_;
  int64_t effFps_;
  int64_t mediaTimeUs_ = 0;
  double keyframeSecNow_;
  uint32_t frameId_ = 0;
  int64_t inFlight_ = 0;
  uint64_t lastDoneUs_ = 0;
  bool busyAfterLastDone_ = false;
  std::vector<uint64_t> satIntervalsUs_;
  int64_t framesDoneWindow_ = 0;
  bool sentParameterSets_ = false;
  std::shared_ptr<const FrameCallback> onFrame_;
  LogCallback onLog_;
  EncodeStatsCallback onEncodeStats_;
  uint64_t encSumUs_ = 0;
  uint64_t encMaxUs_ = 0;
  int64_t encCount_ = 0;
  int64_t appliedMaxQP_ = kInitialMaxFrameQP;
};

}  // namespace vela
