#include "platform/encoder/x265_session.hpp"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cmath>

#include "platform/runtime/checked_number.hpp"

namespace tavlo {
namespace {

constexpr const char* kWorkerLabel = "tavlo.x265.enc";
constexpr const char* kOutputLabel = "tavlo.x265.out";
constexpr int32_t kHighestQP = RateControlSettings::kHighestQP;
constexpr double kMicrosecondsPerSecond = 1e6;

// The QP at which a keyframe of `coded`'s cost fits `roomBits`, when it did not fit and a higher QP is
// allowed: six steps halve the cost, one more for the model's error.
std::optional<int32_t> keyframeRetryQP(const X265Frame& coded, double roomBits, int32_t maxQP) {
  const double bits = static_cast<double>(coded.data.size()) * 8;
  if (!(bits > roomBits) || coded.qp >= maxQP) return std::nullopt;
  const double steps = roomBits > 1 ? std::ceil(6 * std::log2(bits / roomBits)) + 1 : 51;
  return std::min<int32_t>(maxQP, coded.qp + truncateSaturating<int32_t>(steps));
}

}  // namespace

void X265Session::Release::operator()(SwsContext* context) const { sws_freeContext(context); }

std::shared_ptr<X265Session> X265Session::create(int32_t width, int32_t height, const X265Threading& threading) {
  auto encoder = X265Encoder::open(width, height, ColorDescription::bt709VideoRange(), threading);
  if (!encoder) return nullptr;
  return std::shared_ptr<X265Session>(new X265Session(width, height, std::move(encoder)));
}

X265Session::X265Session(int32_t width, int32_t height, std::unique_ptr<X265Encoder> encoder)
    : width_(width),
      height_(height),
      encoder_(std::move(encoder)),
      rateControl_(int64_t{width} * height),
      output_(std::make_shared<SerialExecutor>(kOutputLabel)),
      worker_(std::make_shared<SerialExecutor>(kWorkerLabel)) {}

X265Session::~X265Session() {
  invalidate();
  // The worker is done (invalidate waited for it); output jobs left hold only what they carry.
  output_->shutdown();
}

EncoderStatus X265Session::update(const std::function<void(Settings&)>& change) {
  std::lock_guard lock(mutex_);
  if (invalidated_) return kEncoderInvalidSession;
  change(settings_);
  return kEncoderOk;
}

EncoderStatus X265Session::setRealTime(bool) {
  return update([](Settings&) {});
}

EncoderStatus X265Session::setAllowFrameReordering(bool allow) {
  // No B-frames: pictures always leave in the order they came.
  if (allow) return kEncoderInvalidValue;
  return update([](Settings&) {});
}

EncoderStatus X265Session::setMaxFrameDelayCount(int64_t frames) {
  // Every picture comes out as it goes in, which meets any limit.
  if (frames < 0) return kEncoderInvalidValue;
  return update([](Settings&) {});
}

EncoderStatus X265Session::setPrioritizeEncodingSpeedOverQuality(bool) {
  return update([](Settings&) {});
}

EncoderStatus X265Session::setProfileLevel(HevcProfileLevel) {
  return update([](Settings&) {});
}

EncoderStatus X265Session::setMaxKeyFrameInterval(int64_t frames) {
  if (frames < 0) return kEncoderInvalidValue;
  return update([frames](Settings& s) { s.maxKeyFrames = frames; });
}

EncoderStatus X265Session::setMaxKeyFrameIntervalDuration(double seconds) {
  auto us = truncateChecked<int64_t>(seconds * kMicrosecondsPerSecond);
  if (!us || *us < 0) return kEncoderInvalidValue;
  return update([us](Settings& s) { s.maxKeyFrameDurationUs = *us; });
}

EncoderStatus X265Session::setAverageBitRate(int64_t bitsPerSecond) {
  if (bitsPerSecond <= 0) return kEncoderInvalidValue;
  return update([bitsPerSecond](Settings& s) { s.rate.bitrateBps = bitsPerSecond; });
}

EncoderStatus X265Session::setDataRateLimits(const std::optional<std::vector<DataRateLimit>>& limits) {
  std::vector<RateControlSettings::Limit> converted;
  if (limits) {
    for (const DataRateLimit& limit : *limits) {
      if (limit.bytes <= 0 || !std::isfinite(limit.seconds) || !(limit.seconds > 0)) return kEncoderInvalidValue;
      converted.push_back({limit.bytes, limit.seconds});
    }
  }
  return update([&converted](Settings& s) { s.rate.limits = std::move(converted); });
}

EncoderStatus X265Session::setExpectedFrameRate(int64_t framesPerSecond) {
  if (framesPerSecond <= 0) return kEncoderInvalidValue;
  return update([framesPerSecond](Settings& s) { s.expectedFps = framesPerSecond; });
}

EncoderStatus X265Session::setMaxAllowedFrameQP(int64_t qp) {
  if (qp < 0 || qp > kHighestQP) return kEncoderInvalidValue;
  return update([qp](Settings& s) { s.rate.maxQP = static_cast<int32_t>(qp); });
}

EncoderStatus X265Session::setMinAllowedFrameQP(int64_t qp) {
  if (qp < 0 || qp > kHighestQP) return kEncoderInvalidValue;
  return update([qp](Settings& s) { s.rate.minQP = static_cast<int32_t>(qp); });
}

EncoderStatus X265Session::setColorDescription(const ColorDescription& color) {
  // The VUI is written when x265 opens: the worker reopens it (with a keyframe) for another one.
  return update([&color](Settings& s) { s.color = color; });
}

EncoderStatus X265Session::setEnableLTR(bool on) {
  // x265 3.5 has no long-term references with acknowledgement; the engine falls back to keyframes.
  if (on) return kEncoderPropertyNotSupported;
  return update([](Settings&) {});
}

EncoderStatus X265Session::prepareToEncodeFrames() {
  {
    std::lock_guard lock(mutex_);
    if (invalidated_) return kEncoderInvalidSession;
  }
  // x265 was opened with the session; what is left is its first pictures' memory, touched on the
  // worker before the first frame arrives (which then waits for it, instead of the first frames each
  // coding several times slower).
  const bool queued = worker_->post([this] {
    if (alive_->load()) encoder_->warmUp();
  });
  return queued ? kEncoderOk : kEncoderInvalidSession;
}

void X265Session::setFrameObserver(FrameObserver observer) {
  std::lock_guard lock(mutex_);
  observer_ = observer ? std::make_shared<FrameObserver>(std::move(observer)) : nullptr;
}

EncoderStatus X265Session::encodeFrame(EncoderInputFrame frame, EncodeOutputHandler handler) {
  if (!frame.image || !handler) return kEncoderInvalidValue;
  {
    std::lock_guard lock(mutex_);
    if (invalidated_) return kEncoderInvalidSession;
  }
  const bool queued = worker_->post([this, frame = std::move(frame), handler = std::move(handler)] {
    encodeOne(frame, handler);
  });
  return queued ? kEncoderOk : kEncoderInvalidSession;
}

void X265Session::invalidate() {
  {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
  }
  alive_->store(false);
  // Frames still queued see the flag and are dropped; the one being coded finishes first.
  worker_->shutdown();
}

std::optional<I420Planes> X265Session::planesOf(const Nv12Buffer& image) {
  const int32_t chromaWidth = (width_ + 1) / 2;
  const int32_t chromaHeight = (height_ + 1) / 2;
  const size_t chromaPlane = static_cast<size_t>(chromaWidth) * static_cast<size_t>(chromaHeight);
  // Luma is read in place; only the interleaved chroma is split into two planes.
  if (image.width() == width_ && image.height() == height_) return i420PlanesOf(image, chroma_);
  // Another size: scaled to the session's (the same colours, bilinear) into a picture of our own.
  scaler_.reset(sws_getCachedContext(scaler_.release(), image.width(), image.height(), AV_PIX_FMT_NV12, width_,
                                     height_, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!scaler_) return std::nullopt;
  const size_t lumaPlane = static_cast<size_t>(width_) * static_cast<size_t>(height_);
  scaled_.resize(lumaPlane + 2 * chromaPlane);
  uint8_t* out[4] = {scaled_.data(), scaled_.data() + lumaPlane, scaled_.data() + lumaPlane + chromaPlane, nullptr};
  int outStrides[4] = {width_, chromaWidth, chromaWidth, 0};
  const uint8_t* in[4] = {image.lumaPlane(), image.chromaPlane(), nullptr, nullptr};
  int inStrides[4] = {static_cast<int>(image.lumaStride()), static_cast<int>(image.chromaStride()), 0, 0};
  if (sws_scale(scaler_.get(), in, inStrides, 0, image.height(), out, outStrides) != height_) return std::nullopt;
  I420Planes planes;
  for (int plane = 0; plane < 3; ++plane) {
    planes.planes[plane] = out[plane];
    planes.strides[plane] = outStrides[plane];
  }
  return planes;
}

void X265Session::encodeOne(const EncoderInputFrame& frame, const EncodeOutputHandler& handler) {
  if (!alive_->load()) return;
  Settings settings;
  std::shared_ptr<FrameObserver> observer;
  {
    std::lock_guard lock(mutex_);
    settings = settings_;
    observer = observer_;
  }
  auto deliver = [this, &handler](EncoderStatus status, std::optional<EncodedSample> sample) {
    output_->post([alive = alive_, handler, status, sample = std::move(sample)]() mutable {
      if (alive->load()) handler(status, std::move(sample));
    });
  };

  if (encoder_->color() != settings.color) {
    auto reopened = X265Encoder::open(width_, height_, settings.color, encoder_->threading());
    if (!reopened) return deliver(kEncoderFailed, std::nullopt);
    encoder_ = std::move(reopened);
    // A new encoder starts with a keyframe.
    keyframes_ = KeyframeSchedule();
  }
  keyframes_.setMaxFrames(settings.maxKeyFrames);
  keyframes_.setMaxDurationUs(settings.maxKeyFrameDurationUs);
  const int64_t ptsUs = frame.presentationTimeUs;
  const int64_t durationUs = frame.durationUs > 0 ? frame.durationUs
                             : settings.expectedFps > 0 ? static_cast<int64_t>(kMicrosecondsPerSecond) / settings.expectedFps
                                                        : 0;
  const bool keyframe = keyframes_.due(ptsUs, frame.options && frame.options->forceKeyFrame);
  const int32_t qp = rateControl_.chooseQP(settings.rate, keyframe, ptsUs, durationUs);

  auto planes = planesOf(*frame.image);
  X265Frame coded;
  if (!planes || !encoder_->encode(*planes, qp, keyframe, ptsUs, coded)) return deliver(kEncoderFailed, std::nullopt);
  bool recoded = false;
  if (coded.idr) {
    // A keyframe above the data-rate limits is coded once more at a QP that fits: an IDR picture
    // refers to nothing, and nothing will refer to the one dropped.
    const double room = rateControl_.limitBits(settings.rate, ptsUs, durationUs) * FrameRateControl::kLimitMargin;
    if (auto retry = keyframeRetryQP(coded, room, settings.rate.maxQP)) {
      X265Frame again;
      if (encoder_->encode(*planes, *retry, true, ptsUs, again) && again.idr) {
        coded = std::move(again);
        recoded = true;
      }
    }
  }
  const auto bytes = static_cast<int64_t>(coded.data.size());
  rateControl_.frameCoded(settings.rate, coded.idr, coded.qp, bytes, ptsUs, durationUs);
  keyframes_.frameCoded(ptsUs, coded.idr);
  if (observer) (*observer)({ptsUs, coded.qp, bytes, coded.idr, recoded});

  EncodedSample sample;
  sample.data = std::move(coded.data);
  sample.nalUnitLengthSize = 4;
  sample.notSync = !coded.idr;
  sample.formatParameterSets = encoder_->parameterSets();
  deliver(kEncoderOk, std::move(sample));
}

}  // namespace tavlo
