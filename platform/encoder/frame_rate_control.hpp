#pragma once
// The HEVC backend's own rate control: x265 3.5 cannot retarget its bitrate or QP limits once open, so
// the encoder runs at constant QP and this object picks the QP of every frame (x265's forceqp) from
// the settings in force when the frame starts. Bitrate, QP limits and data-rate limits therefore act
// on the very next frame.
//
// Model: a frame of one kind (keyframe or not) costs about C × 2^(−QP/6) bits, C its complexity,
// learnt from each encoded frame. A leaky bucket keeps the long-run rate on target: what a frame spends
// above its share of the bitrate is debt that the following frames repay within kDebtRepaySeconds.
// Keyframes get a larger share (kKeyframeShareSeconds of the bitrate) and every frame is planned within
// the data-rate limits (bytes in any window of given seconds); the QP ceiling wins over a limit that
// even frames at the ceiling would break.
//
// Pure logic, not thread-safe: the encode worker alone uses it.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace tavlo {

// What the owner asks for; read at the start of each frame.
struct RateControlSettings {
  static constexpr int32_t kLowestQP = 0;
  static constexpr int32_t kHighestQP = 51;

  int64_t bitrateBps = 0;  // 0: no target, every frame at minQP (within the limits)
  int32_t minQP = kLowestQP;
  int32_t maxQP = kHighestQP;  // the hard limit: no frame is coded above it, whatever it costs
  struct Limit {
    int64_t bytes = 0;
    double seconds = 0;
  };
  std::vector<Limit> limits;  // at most `bytes` in any window of `seconds`
};

class FrameRateControl {
 public:
  // Debt is repaid over this long: short enough that a step of the target shows within a second,
  // long enough that a keyframe's cost is spread over many frames instead of starving the next one.
  static constexpr double kDebtRepaySeconds = 0.5;
  // Spending below the target earns at most this much of the bitrate's time as credit.
  static constexpr double kCreditSeconds = 0.1;
  // A keyframe may spend this much of the bitrate's time on its own (before the limits).
  static constexpr double kKeyframeShareSeconds = 0.25;
  // A frame is never planned below this share of its own bitrate share, so repaying debt cannot push
  // the QP to the ceiling by itself.
  static constexpr double kMinTargetShare = 0.15;
  // Planned sizes stay this far under a data-rate limit: the model's error stays inside the limit.
  static constexpr double kLimitMargin = 0.8;
  // A window's room goes to one frame when the window spans at most this many frames (a burst cap);
  // a longer window shares it out, so that its first frames do not take all of it.
  static constexpr double kLimitSpreadFrames = 4;
  // An inter frame's QP falls by at most this much below the previous one's: far from the QP it was
  // learnt at (an almost empty frame at a high QP), the model underestimates the cost of a low QP.
  static constexpr int32_t kMaxQPDrop = 3;
  // How fast the complexity follows new frames (weight of the newest frame, in the log domain).
  static constexpr double kComplexityWeight = 0.5;
  static constexpr double kKeyframeComplexityWeight = 0.7;
  // Frames kept for the data-rate windows; more than any window holds at the frame rates we run.
  static constexpr size_t kMaxHistory = 1024;

  // `pixelsPerFrame` seeds the complexities before any frame was coded.
  explicit FrameRateControl(int64_t pixelsPerFrame);

  // The QP of the next frame, presented at `ptsUs` for `durationUs`.
  int32_t chooseQP(const RateControlSettings& settings, bool keyframe, int64_t ptsUs, int64_t durationUs) const;
  // Learns from the frame that was coded with `qp` into `bytes`.
  void frameCoded(const RateControlSettings& settings, bool keyframe, int32_t qp, int64_t bytes, int64_t ptsUs,
                  int64_t durationUs);

  // Bits the data-rate limits leave for a frame presented at `ptsUs` for `durationUs` (infinite
  // without limits): what its windows have room for, spread over the frames of a long window.
  double limitBits(const RateControlSettings& settings, int64_t ptsUs, int64_t durationUs) const;

  // Bits spent above the bitrate so far and not yet repaid (negative: credit).
  double debtBits() const { return debtBits_; }

 private:
  double plannedBits(const RateControlSettings& settings, bool keyframe, int64_t durationUs) const;

  double log2ComplexityP_;
  double log2ComplexityI_;
  bool sawP_ = false;
  int32_t lastQPP_ = 0;  // the QP of the last inter frame
  double debtBits_ = 0;
  struct Sent {
    int64_t ptsUs;
    int64_t bytes;
  };
  std::deque<Sent> history_;
};

}  // namespace tavlo
