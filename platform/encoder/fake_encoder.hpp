#pragma once
// HEVC compression made up in process, for deterministic tests of the encoder engine and the session.
//
// Each session has an encode worker and a separate output thread, as a real encoder does. Frames are
// "encoded" in submission order into access units of fixed, configurable sizes: a keyframe carries the
// parameter sets in band and is a sync sample; other frames are not. Keyframes come at the first frame,
// on request, and when the keyframe interval (in frames or in seconds of presentation time) runs out.
// The parameter sets hold a real SPS of the session's size.
//
// Long-term references work as on a platform that has them: with EnableLTR on, every ltrEveryFrames-th
// frame (counting from the first) asks for an acknowledgement token (1, 2, 3, …); tokens the owner
// passes back as acknowledged are recorded, and a forced refresh encodes a non-sync frame from the
// newest acknowledged reference (a keyframe when none has been acknowledged yet).
//
// Failures on demand: a kind of session refused (Options), a property refused, submissions refused,
// frames failed or delivered without data. With manualCompletion, frames wait on the worker until the
// test releases them (completeFrames), so that in-flight counts and encode times (on a FakeClock) are
// exact.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/encoder/encoder_backend.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {

class FakeCompressionSession;

class FakeEncoder final : public EncoderBackend {
 public:
  struct Options {
    // Which kinds of session are made: one that requires a hardware encoder (and reports one), one with
    // low-latency rate control, one without requirements.
    bool hardwareEncoder = false;
    bool lowLatencyRateControl = true;
    bool anyEncoder = true;
    // EnableLTR accepted (otherwise refused as an unsupported property).
    bool longTermReferences = true;
    int64_t ltrEveryFrames = 30;
    size_t keyframeBytes = 40'000;
    size_t frameBytes = 4'000;
    // Time each frame spends on the worker, on `clock` (a FakeClock makes the worker wait for the test).
    uint64_t latencyUs = 0;
    bool manualCompletion = false;
    const Clock* clock = &SteadyClock::shared();
  };

  FakeEncoder() : FakeEncoder(Options{}) {}
  explicit FakeEncoder(Options options) : options_(options) {}

  std::shared_ptr<CompressionSession> createSession(int32_t width, int32_t height,
                                                    const EncoderSpecification& requested) override;

  // Every session made, in order, and the specifications asked for (made or not).
  std::vector<std::shared_ptr<FakeCompressionSession>> sessions() const;
  std::shared_ptr<FakeCompressionSession> lastSession() const;
  std::vector<EncoderSpecification> requests() const;

 private:
  const Options options_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakeCompressionSession>> sessions_;
  std::vector<EncoderSpecification> requests_;
};

class FakeCompressionSession final : public CompressionSession,
                                     public std::enable_shared_from_this<FakeCompressionSession> {
 public:
  enum class Property : uint8_t {
    realTime,
    allowFrameReordering,
    maxFrameDelayCount,
    prioritizeEncodingSpeedOverQuality,
    profileLevel,
    maxKeyFrameInterval,
    maxKeyFrameIntervalDuration,
    averageBitRate,
    dataRateLimits,
    expectedFrameRate,
    maxAllowedFrameQP,
    minAllowedFrameQP,
    colorDescription,
    enableLTR,
  };

  // The values the session holds (absent: never set).
  struct Properties {
    std::optional<bool> realTime;
    std::optional<bool> allowFrameReordering;
    std::optional<int64_t> maxFrameDelayCount;
    std::optional<bool> prioritizeEncodingSpeedOverQuality;
    std::optional<HevcProfileLevel> profileLevel;
    std::optional<int64_t> maxKeyFrameInterval;
    std::optional<double> maxKeyFrameIntervalDuration;
    std::optional<int64_t> averageBitRate;
    std::optional<std::vector<DataRateLimit>> dataRateLimits;  // absent also after a clear
    int dataRateLimitWrites = 0;
    std::optional<int64_t> expectedFrameRate;
    std::optional<int64_t> maxAllowedFrameQP;
    std::optional<int64_t> minAllowedFrameQP;
    std::optional<ColorDescription> colorDescription;
    std::optional<bool> enableLTR;
    bool prepared = false;
  };

  // One frame as it was submitted.
  struct Submitted {
    int64_t presentationTimeUs = 0;
    int64_t durationUs = 0;
    std::optional<EncodeFrameOptions> options;
    ColorDescription color;
    int32_t width = 0;
    int32_t height = 0;
    EncoderStatus status = kEncoderOk;  // what encodeFrame answered
  };

  // One frame as it was encoded.
  struct Encoded {
    bool keyframe = false;
    bool refreshedFromLTR = false;
    std::optional<int64_t> ltrToken;
    size_t bytes = 0;
  };

  FakeCompressionSession(int32_t width, int32_t height, EncoderSpecification requested,
                         const FakeEncoder::Options& options);
  ~FakeCompressionSession() override;

  // CompressionSession
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
  std::optional<bool> usingHardwareAcceleratedVideoEncoder() const override;
  EncoderStatus encodeFrame(EncoderInputFrame frame, EncodeOutputHandler handler) override;
  void invalidate() override;

  // Test controls.
  void refuse(Property property, EncoderStatus status = kEncoderInvalidValue);
  void refuseNextSubmissions(int count);
  void failNextFrames(int count);  // the handler gets kEncoderFailed and no sample
  void dropDataOfNextFrames(int count);  // the handler gets a sample without data
  void setFrameBytes(size_t keyframeBytes, size_t frameBytes);
  // manualCompletion: lets up to `count` waiting frames be encoded; returns how many were released.
  size_t completeFrames(size_t count = SIZE_MAX);
  size_t waitingFrames() const;
  // Waits until every frame accepted (and, with manualCompletion, released) so far has been delivered.
  void flush();

  // Inspection.
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  const EncoderSpecification& requested() const { return requested_; }
  Properties properties() const;
  std::vector<Submitted> submitted() const;
  std::vector<Encoded> encoded() const;
  std::vector<int64_t> acknowledgedTokens() const;
  bool invalidated() const;
  // The parameter sets (VPS, SPS, PPS as Annex-B) every sample's format carries.
  const Bytes& parameterSetsAnnexB() const { return parameterSets_; }

 private:
  struct Pending {
    EncoderInputFrame frame;
    EncodeOutputHandler handler;
  };
  EncoderStatus setProperty(Property property, const std::function<void(Properties&)>& apply);
  void encodeOnWorker();
  std::optional<EncodedSample> encodeOne(const EncoderInputFrame& frame, Encoded& record);

  const int32_t width_;
  const int32_t height_;
  const EncoderSpecification requested_;
  const FakeEncoder::Options options_;
  const Bytes parameterSets_;
  // The encode worker and the output thread.
  std::unique_ptr<SerialExecutor> worker_;
  std::unique_ptr<SerialExecutor> output_;

  mutable std::mutex mutex_;  // every field below
  Properties properties_;
  std::map<Property, EncoderStatus> refusals_;
  int refuseSubmissions_ = 0;
  int failFrames_ = 0;
  int dropData_ = 0;
  size_t keyframeBytes_;
  size_t frameBytes_;
  std::deque<Pending> waiting_;  // manualCompletion: accepted, not yet released
  size_t released_ = 0;
  std::vector<Submitted> submitted_;
  std::vector<Encoded> encoded_;
  std::vector<int64_t> acknowledged_;
  int64_t framesEncoded_ = 0;
  int64_t framesSinceKeyframe_ = 0;
  std::optional<int64_t> lastKeyframePtsUs_;
  int64_t nextToken_ = 1;
  bool invalidated_ = false;
};

}  // namespace tavlo
