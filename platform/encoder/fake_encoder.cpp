#include "platform/encoder/fake_encoder.hpp"

#include <algorithm>

#include "platform/encoder/fake_bitstream.hpp"

namespace tavlo {
namespace {

constexpr uint8_t kNalIdrWRadl = 19;
constexpr uint8_t kNalTrailR = 1;

}  // namespace

std::shared_ptr<CompressionSession> FakeEncoder::createSession(int32_t width, int32_t height,
                                                               const EncoderSpecification& requested) {
  {
    std::lock_guard guard(mutex_);
    requests_.push_back(requested);
  }
  if (width < 1 || height < 1 || width > Nv12Buffer::kMaxSide || height > Nv12Buffer::kMaxSide) return nullptr;
  const bool available = requested.requireHardwareAcceleratedVideoEncoder ? options_.hardwareEncoder
                         : requested.enableLowLatencyRateControl       ? options_.lowLatencyRateControl
                                                                           : options_.anyEncoder;
  if (!available) return nullptr;
  auto session = std::make_shared<FakeCompressionSession>(width, height, requested, options_);
  std::lock_guard guard(mutex_);
  sessions_.push_back(session);
  return session;
}

std::vector<std::shared_ptr<FakeCompressionSession>> FakeEncoder::sessions() const {
  std::lock_guard guard(mutex_);
  return sessions_;
}

std::shared_ptr<FakeCompressionSession> FakeEncoder::lastSession() const {
  std::lock_guard guard(mutex_);
  return sessions_.empty() ? nullptr : sessions_.back();
}

std::vector<EncoderSpecification> FakeEncoder::requests() const {
  std::lock_guard guard(mutex_);
  return requests_;
}

FakeCompressionSession::FakeCompressionSession(int32_t width, int32_t height, EncoderSpecification requested,
                                               const FakeEncoder::Options& options)
    : width_(width),
      height_(height),
      requested_(requested),
      options_(options),
      parameterSets_(FakeBitstream::parameterSetsAnnexB(width, height)),
      worker_(std::make_unique<SerialExecutor>("vela.fake.enc")),
      output_(std::make_unique<SerialExecutor>("vela.fake.out")),
      keyframeBytes_(options.keyframeBytes),
      frameBytes_(options.frameBytes) {}

FakeCompressionSession::~FakeCompressionSession() {
  worker_->shutdown();
  output_->shutdown();
}

EncoderStatus FakeCompressionSession::setProperty(Property property, const std::function<void(Properties&)>& apply) {
  std::lock_guard guard(mutex_);
  if (invalidated_) return kEncoderInvalidSession;
  if (auto refused = refusals_.find(property); refused != refusals_.end()) return refused->second;
  apply(properties_);
  return kEncoderOk;
}

EncoderStatus FakeCompressionSession::setRealTime(bool on) {
  return setProperty(Property::realTime, [&](Properties& p) { p.realTime = on; });
}
EncoderStatus FakeCompressionSession::setAllowFrameReordering(bool allow) {
  return setProperty(Property::allowFrameReordering, [&](Properties& p) { p.allowFrameReordering = allow; });
}
EncoderStatus FakeCompressionSession::setMaxFrameDelayCount(int64_t frames) {
  return setProperty(Property::maxFrameDelayCount, [&](Properties& p) { p.maxFrameDelayCount = frames; });
}
EncoderStatus FakeCompressionSession::setPrioritizeEncodingSpeedOverQuality(bool on) {
  return setProperty(Property::prioritizeEncodingSpeedOverQuality,
                     [&](Properties& p) { p.prioritizeEncodingSpeedOverQuality = on; });
}
EncoderStatus FakeCompressionSession::setProfileLevel(HevcProfileLevel level) {
  return setProperty(Property::profileLevel, [&](Properties& p) { p.profileLevel = level; });
}
EncoderStatus FakeCompressionSession::setMaxKeyFrameInterval(int64_t frames) {
  return setProperty(Property::maxKeyFrameInterval, [&](Properties& p) { p.maxKeyFrameInterval = frames; });
}
EncoderStatus FakeCompressionSession::setMaxKeyFrameIntervalDuration(double seconds) {
  return setProperty(Property::maxKeyFrameIntervalDuration,
                     [&](Properties& p) { p.maxKeyFrameIntervalDuration = seconds; });
}
EncoderStatus FakeCompressionSession::setAverageBitRate(int64_t bitsPerSecond) {
  return setProperty(Property::averageBitRate, [&](Properties& p) { p.averageBitRate = bitsPerSecond; });
}
EncoderStatus FakeCompressionSession::setDataRateLimits(const std::optional<std::vector<DataRateLimit>>& limits) {
  return setProperty(Property::dataRateLimits, [&](Properties& p) {
    p.dataRateLimits = limits;
    ++p.dataRateLimitWrites;
  });
}
EncoderStatus FakeCompressionSession::setExpectedFrameRate(int64_t framesPerSecond) {
  return setProperty(Property::expectedFrameRate, [&](Properties& p) { p.expectedFrameRate = framesPerSecond; });
}
EncoderStatus FakeCompressionSession::setMaxAllowedFrameQP(int64_t qp) {
  return setProperty(Property::maxAllowedFrameQP, [&](Properties& p) { p.maxAllowedFrameQP = qp; });
}
EncoderStatus FakeCompressionSession::setMinAllowedFrameQP(int64_t qp) {
  return setProperty(Property::minAllowedFrameQP, [&](Properties& p) { p.minAllowedFrameQP = qp; });
}
EncoderStatus FakeCompressionSession::setColorDescription(const ColorDescription& color) {
  return setProperty(Property::colorDescription, [&](Properties& p) { p.colorDescription = color; });
}
EncoderStatus FakeCompressionSession::setEnableLTR(bool on) {
  if (!options_.longTermReferences) return kEncoderPropertyNotSupported;
  return setProperty(Property::enableLTR, [&](Properties& p) { p.enableLTR = on; });
}

EncoderStatus FakeCompressionSession::prepareToEncodeFrames() {
  std::lock_guard guard(mutex_);
  if (invalidated_) return kEncoderInvalidSession;
  properties_.prepared = true;
  return kEncoderOk;
}

std::optional<bool> FakeCompressionSession::usingHardwareAcceleratedVideoEncoder() const {
  return requested_.requireHardwareAcceleratedVideoEncoder;
}

EncoderStatus FakeCompressionSession::encodeFrame(EncoderInputFrame frame, EncodeOutputHandler handler) {
  Submitted record;
  record.presentationTimeUs = frame.presentationTimeUs;
  record.durationUs = frame.durationUs;
  record.options = frame.options;
  record.color = frame.color;
  if (frame.image) {
    record.width = frame.image->width();
    record.height = frame.image->height();
  }
  std::lock_guard guard(mutex_);
  if (invalidated_) {
    record.status = kEncoderInvalidSession;
  } else if (refuseSubmissions_ > 0 || !frame.image) {
    refuseSubmissions_ = std::max(refuseSubmissions_ - 1, 0);
    record.status = kEncoderFailed;
  }
  submitted_.push_back(record);
  if (record.status != kEncoderOk) return record.status;

  waiting_.push_back(Pending{std::move(frame), std::move(handler)});
  if (!options_.manualCompletion) {
    ++released_;
    worker_->post([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->encodeOnWorker();
    });
  }
  return kEncoderOk;
}

size_t FakeCompressionSession::completeFrames(size_t count) {
  size_t released = 0;
  {
    std::lock_guard guard(mutex_);
    const size_t waiting = waiting_.size() - std::min(released_, waiting_.size());
    released = std::min(count, waiting);
    released_ += released;
  }
  for (size_t i = 0; i < released; ++i) {
    worker_->post([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->encodeOnWorker();
    });
  }
  return released;
}

size_t FakeCompressionSession::waitingFrames() const {
  std::lock_guard guard(mutex_);
  return waiting_.size() - std::min(released_, waiting_.size());
}

void FakeCompressionSession::encodeOnWorker() {
  Pending pending;
  {
    std::lock_guard guard(mutex_);
    if (waiting_.empty() || released_ == 0) return;
    pending = std::move(waiting_.front());
    waiting_.pop_front();
    --released_;
  }
  if (options_.latencyUs > 0 && options_.clock) options_.clock->sleepFor(options_.latencyUs);

  EncoderStatus status = kEncoderOk;
  std::optional<EncodedSample> sample;
  {
    std::lock_guard guard(mutex_);
    if (invalidated_) return;
    if (failFrames_ > 0) {
      --failFrames_;
      status = kEncoderFailed;
    } else {
      Encoded record;
      sample = encodeOne(pending.frame, record);
      encoded_.push_back(record);
    }
  }
  output_->post(
      [weak = weak_from_this(), handler = std::move(pending.handler), status, sample = std::move(sample)]() mutable {
        auto self = weak.lock();
        if (!self || self->invalidated()) return;
        handler(status, std::move(sample));
      });
}

// Runs with mutex_ held.
std::optional<EncodedSample> FakeCompressionSession::encodeOne(const EncoderInputFrame& frame, Encoded& record) {
  const bool ltrOn = properties_.enableLTR.value_or(false);
  const auto& options = frame.options;
  bool keyframe = framesEncoded_ == 0 || (options && options->forceKeyFrame);
  if (properties_.maxKeyFrameInterval && framesSinceKeyframe_ >= *properties_.maxKeyFrameInterval) keyframe = true;
  if (properties_.maxKeyFrameIntervalDuration && lastKeyframePtsUs_) {
    const double elapsedSec = static_cast<double>(frame.presentationTimeUs - *lastKeyframePtsUs_) / 1e6;
    if (elapsedSec >= *properties_.maxKeyFrameIntervalDuration) keyframe = true;
  }
  if (ltrOn && options) {
    acknowledged_.insert(acknowledged_.end(), options->acknowledgedLTRTokens.begin(),
                         options->acknowledgedLTRTokens.end());
  }
  bool refresh = ltrOn && options && options->forceLTRRefresh && !keyframe;
  if (refresh && acknowledged_.empty()) {
    refresh = false;
    keyframe = true;  // nothing acknowledged to refresh from
  }
  std::optional<int64_t> token;
  if (ltrOn && options_.ltrEveryFrames > 0 && framesEncoded_ % options_.ltrEveryFrames == 0) token = nextToken_++;

  if (keyframe) {
    framesSinceKeyframe_ = 1;
    lastKeyframePtsUs_ = frame.presentationTimeUs;
  } else {
    ++framesSinceKeyframe_;
  }
  const int64_t index = framesEncoded_++;

  Bytes data;
  size_t target = keyframe ? keyframeBytes_ : frameBytes_;
  if (keyframe) {
    for (const Bytes& set : FakeBitstream::parameterSets(width_, height_)) {
      FakeBitstream::appendLengthPrefixed(data, set);
    }
  }
  const size_t prefix = FakeBitstream::kLengthPrefix;
  const size_t sliceBytes = target > data.size() + prefix ? target - data.size() - prefix : 0;
  FakeBitstream::appendLengthPrefixed(data,
                                      FakeBitstream::slice(keyframe ? kNalIdrWRadl : kNalTrailR, sliceBytes, index));

  record.keyframe = keyframe;
  record.refreshedFromLTR = refresh;
  record.ltrToken = token;
  record.bytes = data.size();

  EncodedSample sample;
  sample.nalUnitLengthSize = static_cast<int32_t>(FakeBitstream::kLengthPrefix);
  sample.notSync = !keyframe;
  sample.requireLTRAcknowledgementToken = token;
  sample.formatParameterSets = parameterSets_;
  if (dropData_ > 0) {
    --dropData_;
  } else {
    sample.data = std::move(data);
  }
  return sample;
}

void FakeCompressionSession::invalidate() {
  std::lock_guard guard(mutex_);
  invalidated_ = true;
  waiting_.clear();
  released_ = 0;
}

void FakeCompressionSession::refuse(Property property, EncoderStatus status) {
  std::lock_guard guard(mutex_);
  refusals_[property] = status;
}

void FakeCompressionSession::refuseNextSubmissions(int count) {
  std::lock_guard guard(mutex_);
  refuseSubmissions_ = count;
}

void FakeCompressionSession::failNextFrames(int count) {
  std::lock_guard guard(mutex_);
  failFrames_ = count;
}

void FakeCompressionSession::dropDataOfNextFrames(int count) {
  std::lock_guard guard(mutex_);
  dropData_ = count;
}

void FakeCompressionSession::setFrameBytes(size_t keyframeBytes, size_t frameBytes) {
  std::lock_guard guard(mutex_);
  keyframeBytes_ = keyframeBytes;
  frameBytes_ = frameBytes;
}

void FakeCompressionSession::flush() {
  worker_->sync([] {});
  output_->sync([] {});
}

FakeCompressionSession::Properties FakeCompressionSession::properties() const {
  std::lock_guard guard(mutex_);
  return properties_;
}

std::vector<FakeCompressionSession::Submitted> FakeCompressionSession::submitted() const {
  std::lock_guard guard(mutex_);
  return submitted_;
}

std::vector<FakeCompressionSession::Encoded> FakeCompressionSession::encoded() const {
  std::lock_guard guard(mutex_);
  return encoded_;
}

std::vector<int64_t> FakeCompressionSession::acknowledgedTokens() const {
  std::lock_guard guard(mutex_);
  return acknowledged_;
}

bool FakeCompressionSession::invalidated() const {
  std::lock_guard guard(mutex_);
  return invalidated_;
}

}  // namespace tavlo
