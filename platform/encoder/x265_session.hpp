#pragma once
// A compression session on x265. Frames go to an encode worker of the session's own
// ("tavlo.x265.enc"), which decides keyframes and QP per frame (KeyframeSchedule, FrameRateControl)
// from the properties in force when the frame starts, feeds x265 and posts each result to the output
// thread ("tavlo.x265.out"), where the frame's handler runs. The consumer may block on the output
// thread (the session paces its sends there) without stalling the encoder.
//
// What x265 does not have is refused: long-term references (setEnableLTR(true) reports
// kEncoderPropertyNotSupported, so the engine falls back to keyframes) and frame reordering.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/encoder/encoder_backend.hpp"
#include "platform/encoder/frame_rate_control.hpp"
#include "platform/encoder/keyframe_schedule.hpp"
#include "platform/encoder/x265_encoder.hpp"
#include "platform/runtime/serial_executor.hpp"

struct SwsContext;

namespace tavlo {

// What one coded frame cost, for tests and benchmarks that watch the rate control.
struct X265FrameReport {
  int64_t presentationTimeUs = 0;
  int32_t qp = 0;
  int64_t bytes = 0;
  bool keyframe = false;
  bool recoded = false;  // a keyframe coded a second time to fit the data-rate limits
};

class X265Session : public CompressionSession {
 public:
  using FrameObserver = std::function<void(const X265FrameReport& report)>;

  // nullptr when x265 cannot encode the size.
  static std::shared_ptr<X265Session> create(int32_t width, int32_t height,
                                             const X265Threading& threading = X265Threading::steady());
  ~X265Session() override;

  EncoderStatus setRealTime(bool on) override;
  EncoderStatus setAllowFrameReordering(bool allow) override;
  EncoderStatus setMaxFrameDelayCount(int64_t frames) override;
  EncoderStatus setPrioritizeEncodingSpeedOverQuality(bool on) override;
  EncoderStatus setProfileLevel(HevcProfileLevel level) override;
  EncoderStatus setMaxKeyFrameInterval(int64_t frames) override;
  EncoderStatus setMaxKeyFrameIntervalDuration(double seconds) override;
  EncoderStatus setAverageBitRate(int64_t bitsPerSecond) override;
  EncoderStatus setDataRateLimits(const std::optional<std::vector<DataRateLimit>>& limits) override;
  EncoderStatus setExpectedFrameRate(int64_t framesPerSecond) override;
  EncoderStatus setMaxAllowedFrameQP(int64_t qp) override;
  EncoderStatus setMinAllowedFrameQP(int64_t qp) override;
  EncoderStatus setColorDescription(const ColorDescription& color) override;
  EncoderStatus setEnableLTR(bool on) override;
  EncoderStatus prepareToEncodeFrames() override;
  std::optional<bool> usingHardwareAcceleratedVideoEncoder() const override { return false; }
  EncoderStatus encodeFrame(EncoderInputFrame frame, EncodeOutputHandler handler) override;
  void invalidate() override;

  // Called on the encode worker after each coded frame, before its handler is posted.
  void setFrameObserver(FrameObserver observer);

 private:
  // The properties, as the encode worker reads them at the start of a frame.
  struct Settings {
    RateControlSettings rate;
    int64_t maxKeyFrames = 0;
    int64_t maxKeyFrameDurationUs = 0;
    int64_t expectedFps = 0;
    ColorDescription color;
  };
  struct Release {
    void operator()(SwsContext* context) const;
  };

  X265Session(int32_t width, int32_t height, std::unique_ptr<X265Encoder> encoder);
  EncoderStatus update(const std::function<void(Settings&)>& change);
  void encodeOne(const EncoderInputFrame& frame, const EncodeOutputHandler& handler);
  std::optional<I420Planes> planesOf(const Nv12Buffer& image);

  const int32_t width_;
  const int32_t height_;

  std::mutex mutex_;  // guards settings_, invalidated_ and observer_
  Settings settings_;
  bool invalidated_ = false;
  std::shared_ptr<FrameObserver> observer_;
  // Read by posted output jobs, which may run after the session is gone.
  const std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);

  // The encode worker's own state.
  std::unique_ptr<X265Encoder> encoder_;
  FrameRateControl rateControl_;
  KeyframeSchedule keyframes_;
  Bytes chroma_;  // the Cb and Cr planes split out of NV12
  Bytes scaled_;  // a picture of another size, scaled to the session's
  std::unique_ptr<SwsContext, Release> scaler_;

  // Declared last: destroyed first, so that no job outlives what it uses.
  std::shared_ptr<SerialExecutor> output_;
  std::shared_ptr<SerialExecutor> worker_;
};

}  // namespace tavlo
