#include "platform/encoder/fake_encoder.hpp"

#include <algorithm>
#include <cmath>

namespace tavlo {
namespace {

constexpr uint8_t kNalIdrWRadl = 19;
constexpr uint8_t kNalTrailR = 1;
constexpr int32_t kMinCodingBlock = 8;  // coded sizes are multiples of the smallest coding block
constexpr size_t kLengthPrefix = 4;
constexpr size_t kSliceHeaderBytes = 2;

class BitWriter {
 public:
  void bits(uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1u);
  }
  void ue(uint64_t value) {
    const uint64_t coded = value + 1;
    int length = 0;
    while ((coded >> length) > 1) ++length;
    bits(0, length);
    bits(coded, length + 1);
  }
  // rbsp_trailing_bits, then the bytes with emulation prevention (00 00 0x → 00 00 03 0x for x ≤ 3).
  Bytes finish() {
    bit(1);
    while (count_ % 8 != 0) bit(0);
    Bytes out;
    int zeros = 0;
    for (uint8_t byte : rbsp_) {
      if (zeros >= 2 && byte <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      out.push_back(byte);
      zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
  }

 private:
  void bit(uint64_t value) {
    if (count_ % 8 == 0) rbsp_.push_back(0);
    if (value) rbsp_.back() |= static_cast<uint8_t>(0x80u >> (count_ % 8));
    ++count_;
  }
  Bytes rbsp_;
  size_t count_ = 0;
};

// An SPS of HEVC Main 4:2:0 whose picture (after the conformance window) is width × height; it stops after
// the fields a reader of the picture size needs.
Bytes makeSps(int32_t width, int32_t height) {
  const auto codedW = static_cast<uint64_t>((width + kMinCodingBlock - 1) / kMinCodingBlock * kMinCodingBlock);
  const auto codedH = static_cast<uint64_t>((height + kMinCodingBlock - 1) / kMinCodingBlock * kMinCodingBlock);
  BitWriter writer;
  writer.bits(0, 4);  // sps_video_parameter_set_id
  writer.bits(0, 3);  // sps_max_sub_layers_minus1
  writer.bits(1, 1);  // sps_temporal_id_nesting_flag
  writer.bits(0, 2);  // general_profile_space
  writer.bits(0, 1);  // general_tier_flag
  writer.bits(1, 5);  // general_profile_idc: Main
  writer.bits(0x60000000, 32);  // compatible with Main and Main 10
  writer.bits(0b1001, 4);  // progressive, not interlaced, not non-packed, frame only
  writer.bits(0, 44);  // reserved constraint flags
  writer.bits(153, 8);  // general_level_idc: 5.1
  writer.ue(0);  // sps_seq_parameter_set_id
  writer.ue(1);  // chroma_format_idc: 4:2:0
  writer.ue(codedW);
  writer.ue(codedH);
  const bool window = codedW != static_cast<uint64_t>(width) || codedH != static_cast<uint64_t>(height);
  writer.bits(window ? 1 : 0, 1);
  if (window) {
    writer.ue(0);
    writer.ue((codedW - static_cast<uint64_t>(width)) / 2);
    writer.ue(0);
    writer.ue((codedH - static_cast<uint64_t>(height)) / 2);
  }
  writer.ue(0);  // bit_depth_luma_minus8
  writer.ue(0);  // bit_depth_chroma_minus8
  Bytes sps = {0x42, 0x01};
  Bytes body = writer.finish();
  sps.insert(sps.end(), body.begin(), body.end());
  return sps;
}

void appendAnnexB(Bytes& out, const Bytes& nal) {
  out.insert(out.end(), {0, 0, 0, 1});
  out.insert(out.end(), nal.begin(), nal.end());
}

void appendLengthPrefixed(Bytes& out, const Bytes& nal) {
  const auto length = static_cast<uint32_t>(nal.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(length >> shift));
  out.insert(out.end(), nal.begin(), nal.end());
}

const Bytes kVps = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x99, 0xAC, 0x09};
const Bytes kPps = {0x44, 0x01, 0xC1, 0x72, 0xB4, 0x62, 0x40};

Bytes makeParameterSets(int32_t width, int32_t height) {
  Bytes annexB;
  appendAnnexB(annexB, kVps);
  appendAnnexB(annexB, makeSps(width, height));
  appendAnnexB(annexB, kPps);
  return annexB;
}

// A slice NAL unit of `bytes` bytes (at least its header) whose payload depends on the frame, and never
// holds a start code.
Bytes makeSlice(uint8_t type, size_t bytes, int64_t frame) {
  Bytes slice(std::max(bytes, kSliceHeaderBytes));
  slice[0] = static_cast<uint8_t>(type << 1);
  slice[1] = 0x01;
  for (size_t i = kSliceHeaderBytes; i < slice.size(); ++i) {
    slice[i] = static_cast<uint8_t>(0x10 + (static_cast<uint64_t>(frame) * 31 + i * 7) % 0xEF);
  }
  return slice;
}

}  // namespace

std::shared_ptr<CompressionSession> FakeEncoder::createSession(int32_t width, int32_t height,
                                                               const EncoderSpecification& specification) {
  {
    std::lock_guard guard(mutex_);
    requests_.push_back(specification);
  }
  if (width < 1 || height < 1 || width > Nv12Buffer::kMaxSide || height > Nv12Buffer::kMaxSide) return nullptr;
  const bool available = specification.requireHardwareAcceleratedVideoEncoder ? options_.hardwareEncoder
                         : specification.enableLowLatencyRateControl       ? options_.lowLatencyRateControl
                                                                           : options_.anyEncoder;
  if (!available) return nullptr;
  auto session = std::make_shared<FakeCompressionSession>(width, height, specification, options_);
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

FakeCompressionSession::FakeCompressionSession(int32_t width, int32_t height, EncoderSpecification specification,
                                               const FakeEncoder::Options& options)
    : width_(width),
      height_(height),
      specification_(specification),
      options_(options),
      parameterSets_(makeParameterSets(width, height)),
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
  return specification_.requireHardwareAcceleratedVideoEncoder;
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
  output_->post([weak = weak_from_this(), handler = std::move(pending.handler), status, sample = std::move(sample)]() mutable {
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
    for (const Bytes& set : {kVps, makeSps(width_, height_), kPps}) appendLengthPrefixed(data, set);
  }
  const size_t sliceBytes = target > data.size() + kLengthPrefix ? target - data.size() - kLengthPrefix : 0;
  appendLengthPrefixed(data, makeSlice(keyframe ? kNalIdrWRadl : kNalTrailR, sliceBytes, index));

  record.keyframe = keyframe;
  record.refreshedFromLTR = refresh;
  record.ltrToken = token;
  record.bytes = data.size();

  EncodedSample sample;
  sample.nalUnitLengthSize = static_cast<int32_t>(kLengthPrefix);
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
