#pragma once
// A compression session that passes every call to another one: tests and benchmarks derive from it and
// override only the calls they watch or hook.
#include <memory>
#include <utility>

#include "platform/encoder/encoder_backend.hpp"

namespace tavlo::testkit {

class ForwardingCompressionSession : public CompressionSession {
 public:
  explicit ForwardingCompressionSession(std::shared_ptr<CompressionSession> inner) : inner_(std::move(inner)) {}

  EncoderStatus setRealTime(bool on) override { return inner_->setRealTime(on); }
  EncoderStatus setAllowFrameReordering(bool allow) override { return inner_->setAllowFrameReordering(allow); }
  EncoderStatus setMaxFrameDelayCount(int64_t n) override { return inner_->setMaxFrameDelayCount(n); }
  EncoderStatus setPrioritizeEncodingSpeedOverQuality(bool on) override {
    return inner_->setPrioritizeEncodingSpeedOverQuality(on);
  }
  EncoderStatus setProfileLevel(HevcProfileLevel level) override { return inner_->setProfileLevel(level); }
  EncoderStatus setMaxKeyFrameInterval(int64_t n) override { return inner_->setMaxKeyFrameInterval(n); }
  EncoderStatus setMaxKeyFrameIntervalDuration(double seconds) override {
    return inner_->setMaxKeyFrameIntervalDuration(seconds);
  }
  EncoderStatus setAverageBitRate(int64_t bps) override { return inner_->setAverageBitRate(bps); }
  EncoderStatus setDataRateLimits(const std::optional<std::vector<DataRateLimit>>& limits) override {
    return inner_->setDataRateLimits(limits);
  }
  EncoderStatus setExpectedFrameRate(int64_t fps) override { return inner_->setExpectedFrameRate(fps); }
  EncoderStatus setMaxAllowedFrameQP(int64_t qp) override { return inner_->setMaxAllowedFrameQP(qp); }
  EncoderStatus setMinAllowedFrameQP(int64_t qp) override { return inner_->setMinAllowedFrameQP(qp); }
  EncoderStatus setColorDescription(const ColorDescription& color) override {
    return inner_->setColorDescription(color);
  }
  EncoderStatus setEnableLTR(bool on) override { return inner_->setEnableLTR(on); }
  EncoderStatus prepareToEncodeFrames() override { return inner_->prepareToEncodeFrames(); }
  std::optional<bool> usingHardwareAcceleratedVideoEncoder() const override {
    return inner_->usingHardwareAcceleratedVideoEncoder();
  }
  EncoderStatus encodeFrame(EncoderInputFrame frame, EncodeOutputHandler handler) override {
    return inner_->encodeFrame(std::move(frame), std::move(handler));
  }
  void invalidate() override { inner_->invalidate(); }

 protected:
  std::shared_ptr<CompressionSession> inner_;
};

}  // namespace tavlo::testkit
