#include "platform/encoder/frame_rate_control.hpp"

#include <algorithm>
#include <cmath>

#include "platform/runtime/checked_number.hpp"

namespace tavlo {
namespace {

// Seeds: bits per pixel at QP 30 of a first keyframe and of a first inter frame. Dense text costs about
// this much; guessing high errs towards a first keyframe below its share instead of one far above it.
constexpr double kSeedKeyframeBitsPerPixel = 2.0;
constexpr double kSeedInterBitsPerPixel = 0.2;
constexpr double kSeedQP = 30;
// One QP step changes the cost by 2^(1/6): six steps halve it.
constexpr double kQPStepsPerOctave = 6;
// The duration assumed for a frame that says none (one frame at 60 Hz).
constexpr int64_t kDefaultDurationUs = 16'667;
constexpr double kBitsPerByte = 8;

double log2Complexity(double bits, double qp) { return std::log2(std::max(bits, 1.0)) + qp / kQPStepsPerOctave; }

int64_t durationOrDefault(int64_t durationUs) { return durationUs > 0 ? durationUs : kDefaultDurationUs; }

}  // namespace

FrameRateControl::FrameRateControl(int64_t pixelsPerFrame) {
  const double pixels = static_cast<double>(std::max<int64_t>(pixelsPerFrame, 1));
  log2ComplexityI_ = log2Complexity(pixels * kSeedKeyframeBitsPerPixel, kSeedQP);
  log2ComplexityP_ = log2Complexity(pixels * kSeedInterBitsPerPixel, kSeedQP);
}

double FrameRateControl::plannedBits(const RateControlSettings& settings, bool keyframe, int64_t durationUs) const {
  const double seconds = static_cast<double>(durationOrDefault(durationUs)) / 1e6;
  const double bitrate = static_cast<double>(settings.bitrateBps);
  const double share = bitrate * seconds;
  const double repay = debtBits_ * std::min(1.0, seconds / kDebtRepaySeconds);
  const double base = keyframe ? std::max(share, bitrate * kKeyframeShareSeconds) : share;
  return std::max(base - repay, share * kMinTargetShare);
}

double FrameRateControl::limitBits(const RateControlSettings& settings, int64_t ptsUs, int64_t durationUs) const {
  const double frameSeconds = static_cast<double>(durationOrDefault(durationUs)) / 1e6;
  double room = INFINITY;
  for (const auto& limit : settings.limits) {
    if (!(limit.seconds > 0) || limit.bytes <= 0) continue;
    const double windowStartUs = static_cast<double>(ptsUs) - limit.seconds * 1e6;
    int64_t inWindow = 0;
    for (auto it = history_.rbegin(); it != history_.rend() && static_cast<double>(it->ptsUs) > windowStartUs; ++it) {
      inWindow = saturatingAdd(inWindow, it->bytes);
    }
    const double share = std::min(1.0, kLimitSpreadFrames * frameSeconds / limit.seconds);
    const double left = (static_cast<double>(limit.bytes) - static_cast<double>(inWindow)) * kBitsPerByte;
    room = std::min(room, left > 0 ? left * share : left);
  }
  return room;
}

int32_t FrameRateControl::chooseQP(const RateControlSettings& settings, bool keyframe, int64_t ptsUs,
                                   int64_t durationUs) const {
  const int32_t ceiling = std::clamp(settings.maxQP, RateControlSettings::kLowestQP, RateControlSettings::kHighestQP);
  const int32_t floor = std::clamp(settings.minQP, RateControlSettings::kLowestQP, ceiling);
  double target = settings.bitrateBps > 0 ? plannedBits(settings, keyframe, durationUs) : INFINITY;
  const double room = limitBits(settings, ptsUs, durationUs);
  if (room <= 0) return ceiling;
  target = std::min(target, room * kLimitMargin);
  if (std::isinf(target)) return floor;
  const double log2C = keyframe ? log2ComplexityI_ : log2ComplexityP_;
  // bits = 2^(log2C − QP/6)  ⇒  QP = 6 × (log2C − log2 bits); the bucket evens out the rounding.
  const double qp = std::round(kQPStepsPerOctave * (log2C - std::log2(std::max(target, 1.0))));
  int32_t chosen = truncateSaturating<int32_t>(qp);
  if (!keyframe && sawP_) chosen = std::max(chosen, lastQPP_ - kMaxQPDrop);
  return std::clamp(chosen, floor, ceiling);
}

void FrameRateControl::frameCoded(const RateControlSettings& settings, bool keyframe, int32_t qp, int64_t bytes,
                                  int64_t ptsUs, int64_t durationUs) {
  const double bits = static_cast<double>(std::max<int64_t>(bytes, 0)) * kBitsPerByte;
  const double observed = log2Complexity(bits, qp);
  if (keyframe) {
    log2ComplexityI_ += kKeyframeComplexityWeight * (observed - log2ComplexityI_);
    // Until an inter frame was seen, its cost follows the keyframe's at the seeds' ratio.
    if (!sawP_) log2ComplexityP_ = log2ComplexityI_ + std::log2(kSeedInterBitsPerPixel / kSeedKeyframeBitsPerPixel);
  } else {
    log2ComplexityP_ = sawP_ ? log2ComplexityP_ + kComplexityWeight * (observed - log2ComplexityP_) : observed;
    sawP_ = true;
    lastQPP_ = qp;
  }
  const double seconds = static_cast<double>(durationOrDefault(durationUs)) / 1e6;
  // Without a target there is nothing to owe. Below the target a little is saved up (a credit of
  // kCreditSeconds), enough to even out rounding, not enough for a burst after a still screen.
  const double bitrate = static_cast<double>(settings.bitrateBps);
  debtBits_ = bitrate > 0 ? std::max(-bitrate * kCreditSeconds, debtBits_ + bits - bitrate * seconds) : 0.0;
  history_.push_back({ptsUs, std::max<int64_t>(bytes, 0)});
  while (history_.size() > kMaxHistory) history_.pop_front();
}

}  // namespace tavlo
