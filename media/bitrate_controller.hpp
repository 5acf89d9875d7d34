#pragma once
// Turns the client's per-frame feedback into the video encoder's target bitrate.
//
// Two loops run side by side and the lower one wins: the loss loop (`bitrate`), driven by lost frames
// and frames whose reassembly took too long, and the delay loop (`delayBitrate`), driven by the
// client's one-way-delay verdict. Both sit between a floor and a ceiling. In plateau mode the loss loop
// learns a proven rate (the highest rate that stayed clean for a long run) and falls back to it
// instead of collapsing. Every operation that can move the bitrate returns the new applied value, or
// nothing when the move is 5 % or less of the value last applied, so the encoder is not reconfigured
// for small steps.
//
// Not thread-safe: the owner (the session's feedback path) serialises every call.
#include <cstdint>
#include <optional>

#include "media/delay_signal.hpp"

namespace tavlo {
class Settings;
}

namespace vela {

class BitrateController {
 public:
  struct Feedback {
    bool lost = false;
    int64_t nackRounds = 0;       // retransmission rounds the frame needed
    uint32_t assembleUs = 0;      // first to last chunk at the client
    uint32_t frameIntervalUs = 0; // nominal frame interval; 0 = unknown
  };

  // The two user defaults, read once at construction.
  struct Tunables {
    static constexpr double defaultQualityBpp = 0.1;
    double qualityBpp = defaultQualityBpp;  // bits per pixel per frame for the quality cap
    bool delayRecoveryHoldOnNoData = true;  // noData and underuse keep the delay loop's increase run

    // "tl.qualityBpp" (Double) and "tl.delayRecoveryHoldOnNoData" (Bool). A value of another type is
    // absent; a quality that is not a finite number in (0, 1] would give a meaningless or overflowing
    // cap, so NaN, infinities, zero and negatives fall back to the default and larger values clamp to 1.
    static Tunables read(const tavlo::Settings& settings);
    static double sanitizedQualityBpp(std::optional<double> stored);
  };

  static constexpr int64_t minQualityCapBps = 12'000'000;  // the quality cap is never below this
  static constexpr uint64_t minHoldUs = 400'000;           // shortest time between two delay cuts
  static constexpr uint64_t floorCutSpacingUs = 3'000'000; // shortest time between two goodput floors
  static constexpr int64_t demotedFloorMinBps = 500'000;   // lowest effective floor a demotion may set

  // `userCapBps` given: it is the ceiling, even above the quality cap.
  BitrateController(int64_t width, int64_t height, int64_t fps, int64_t start, int64_t floor,
                    std::optional<int64_t> userCapBps, const tavlo::Settings& settings);
  BitrateController(int64_t width, int64_t height, int64_t fps, int64_t start, int64_t floor,
                    std::optional<int64_t> userCapBps, Tunables tunables);

  std::optional<int64_t> onFeedback(const Feedback& fb);
  // An unknown signal value counts as noData.
  std::optional<int64_t> onDelaySignal(DelaySignal signal, int64_t recvRateBps, uint64_t nowUs);
  std::optional<int64_t> anchor(int64_t maxBps);
  void demoteFloor(int64_t toBps);
  void restoreFloor();
  // Here the user cap is limited by the quality cap, unlike at construction.
  void setUserCap(std::optional<int64_t> bps);
  void resetLearning();
  void seedProven(int64_t bps);

  int64_t bitrate() const { return bitrate_; }
  int64_t floorBps() const { return floor_; }
  int64_t ceilingBps() const { return ceiling_; }
  int64_t appliedBitrate() const { return lastApplied_; }
  int64_t delayBitrateBps() const { return delayBitrate_; }
  int64_t provenRateBps() const { return provenBps_; }
  bool hasUserCap() const { return userCapStored_.has_value(); }

  // Set by the owner between calls; they take effect from the next call.
  bool slowRecovery = false;       // slower recovery of both loops
  bool plateau = false;            // proven-rate mode of the loss loop
  bool radioLossTolerant = false;  // losses come from radio noise, not congestion: cuts are softened
  int64_t goodputHintBps = 0;      // a measured goodput; 0 = unknown

 private:
  std::optional<int64_t> commit();
  void onCongestion();
  void onCleanFrame();

  int64_t bitrate_ = 0;
  int64_t floor_ = 0;
  int64_t floorCfg_ = 0;
  int64_t bppCap_ = 0;
  std::optional<int64_t> userCapStored_;
  int64_t effFloor_ = 0;
  int64_t ceiling_ = 0;
  int64_t cleanRun_ = 0;
  int64_t provenBps_ = 0;
  int64_t provenCleanRun_ = 0;
  int64_t cleanStreakFrames_ = 0;
  int64_t delayBitrate_ = 0;
  int64_t delayIncreaseRun_ = 0;
  bool delayRecoveryHoldOnNoData_ = true;
  int64_t lastApplied_ = 0;
  std::optional<uint64_t> lastDecreaseUs_;
  std::optional<uint64_t> lastFloorCutUs_;
};

}  // namespace vela
