#include "media/bitrate_controller.hpp"

#include <algorithm>
#include <cmath>

#include "media/rate_math.hpp"
#include "platform/runtime/json_store.hpp"

namespace vela {
namespace {

constexpr int64_t lossStepBps = 2'000'000;        // loss-loop climb after a clean run
constexpr int64_t lossStepSlowBps = 1'000'000;    // the same with slowRecovery
constexpr int64_t cleanRunFrames = 30;            // clean frames per climb
constexpr int64_t cleanRunSlowFrames = 60;        // the same with slowRecovery
constexpr int64_t plateauProofFrames = 300;       // clean frames that prove a rate
constexpr int64_t plateauCautiousFrames = 900;    // clean streak before plateau climbs quickly again
constexpr int64_t plateauCautiousRunFrames = 180; // clean frames per cautious climb
constexpr int64_t plateauCautiousStepBps = 100'000;
constexpr int64_t streakPenaltyFrames = 120;      // a congested frame shortens the clean streak by this
constexpr int64_t delayRunFrames = 15;            // normal verdicts per delay-loop climb
constexpr int64_t delayRunSlowFrames = 30;
constexpr int64_t delayStepBps = 1'000'000;
constexpr int64_t delayStepSlowBps = 500'000;

// |target − applied| × 20 > applied, exactly, whatever the magnitudes.
bool movesMoreThanFivePercent(int64_t target, int64_t applied) {
  __int128 diff = static_cast<__int128>(target) - applied;
  if (diff < 0) diff = -diff;
  return diff * 20 > applied;
}

}  // namespace

double BitrateController::Tunables::sanitizedQualityBpp(std::optional<double> stored) {
  if (!stored || !std::isfinite(*stored) || *stored <= 0) return defaultQualityBpp;
  return std::min(*stored, 1.0);
}

BitrateController::Tunables BitrateController::Tunables::read(const tavlo::Settings& settings) {
  Tunables t;
  t.qualityBpp = sanitizedQualityBpp(settings.getDouble("tl.qualityBpp"));
  t.delayRecoveryHoldOnNoData = settings.getBool("tl.delayRecoveryHoldOnNoData").value_or(true);
  return t;
}

BitrateController::BitrateController(int64_t width, int64_t height, int64_t fps, int64_t start, int64_t floor,
                                     std::optional<int64_t> userCapBps, const tavlo::Settings& settings)
    : BitrateController(width, height, fps, start, floor, userCapBps, Tunables::read(settings)) {}

BitrateController::BitrateController(int64_t width, int64_t height, int64_t fps, int64_t start, int64_t floor,
                                     std::optional<int64_t> userCapBps, Tunables tunables) {
  double qualityBpp = Tunables::sanitizedQualityBpp(tunables.qualityBpp);
  delayRecoveryHoldOnNoData_ = tunables.delayRecoveryHoldOnNoData;
  int64_t pixelRate = tavlo::saturatingMul(tavlo::saturatingMul(width, height), fps);
  bppCap_ = std::max(tavlo::truncateSaturating<int64_t>(qualityBpp * static_cast<double>(pixelRate)),
                     minQualityCapBps);
  floorCfg_ = floor;
  userCapStored_ = userCapBps;
  ceiling_ = userCapBps.value_or(bppCap_);
  floor_ = effFloor_ = std::min(ceiling_, floor);
  bitrate_ = std::max(effFloor_, std::min(ceiling_, start));
  delayBitrate_ = ceiling_;
  lastApplied_ = bitrate_;
}

std::optional<int64_t> BitrateController::commit() {
  int64_t target = std::max(std::min({bitrate_, delayBitrate_, ceiling_}), effFloor_);
  if (!movesMoreThanFivePercent(target, lastApplied_)) return std::nullopt;
  lastApplied_ = target;
  return target;
}

std::optional<int64_t> BitrateController::onFeedback(const Feedback& fb) {
  bool congested = fb.lost || fb.nackRounds >= 2;
  bool slowAssembly = fb.frameIntervalUs > 0 &&
                      uint64_t{fb.assembleUs} > uint64_t{fb.frameIntervalUs} * 7 / 10;
  if (congested) {
    onCongestion();
  } else if (slowAssembly) {
    bitrate_ = std::max(rate::scaled(bitrate_, 0.95), effFloor_);
    cleanRun_ = provenCleanRun_ = cleanStreakFrames_ = 0;
  } else {
    onCleanFrame();
  }
  return commit();
}

void BitrateController::onCongestion() {
  cleanStreakFrames_ = std::max(cleanStreakFrames_ - streakPenaltyFrames, int64_t{0});
  if (radioLossTolerant) {
    int64_t hint = goodputHintBps >= 1 ? rate::scaled(goodputHintBps, 0.9) : effFloor_;
    if (plateau && provenBps_ >= 1 && provenBps_ < bitrate_) {
      bitrate_ = std::max(hint, provenBps_);
    } else {
      bitrate_ = std::max({rate::scaled(bitrate_, 0.92), hint, effFloor_});
    }
    return;  // radio noise proves nothing about the rate: the clean runs stand
  }
  if (plateau && provenBps_ >= 1) {
    if (provenBps_ < bitrate_) {
      bitrate_ = provenBps_;
    } else {
      provenBps_ = std::max(rate::scaled(provenBps_, 0.95), effFloor_);
      bitrate_ = std::max(rate::scaled(provenBps_, 0.85), effFloor_);
    }
  } else {
    bitrate_ = std::max(rate::scaled(bitrate_, 0.92), effFloor_);
  }
  cleanRun_ = provenCleanRun_ = 0;
}

void BitrateController::onCleanFrame() {
  cleanRun_ += 1;
  if (!plateau) {
    if (cleanRun_ >= (slowRecovery ? cleanRunSlowFrames : cleanRunFrames)) {
      bitrate_ = std::min(rate::plus(bitrate_, slowRecovery ? lossStepSlowBps : lossStepBps), ceiling_);
      cleanRun_ = 0;
    }
    return;
  }
  provenCleanRun_ += 1;
  cleanStreakFrames_ += 1;
  if (provenCleanRun_ >= plateauProofFrames) {
    provenBps_ = std::max(provenBps_, std::min(bitrate_, delayBitrate_));
    provenCleanRun_ = 0;
  }
  if (cleanStreakFrames_ < plateauCautiousFrames) {
    if (cleanRun_ >= plateauCautiousRunFrames) {
      int64_t grown = std::max(rate::plus(bitrate_, plateauCautiousStepBps), rate::scaled(bitrate_, 1.08));
      bitrate_ = std::min(grown, ceiling_);
      cleanRun_ = 0;
    }
  } else if (cleanRun_ >= cleanRunFrames) {
    bitrate_ = std::min(rate::plus(bitrate_, lossStepSlowBps), ceiling_);
    cleanRun_ = 0;
  }
}

std::optional<int64_t> BitrateController::onDelaySignal(DelaySignal signal, int64_t recvRateBps, uint64_t nowUs) {
  switch (signal) {
    case DelaySignal::normal:
      delayIncreaseRun_ += 1;
      if (delayIncreaseRun_ >= (slowRecovery ? delayRunSlowFrames : delayRunFrames)) {
        delayBitrate_ = std::min(rate::plus(delayBitrate_, slowRecovery ? delayStepSlowBps : delayStepBps), ceiling_);
        delayIncreaseRun_ = 0;
      }
      break;
    case DelaySignal::overuse: {
      // Time differences wrap like the clock's unsigned arithmetic; the clock is monotonic.
      if (lastDecreaseUs_ && nowUs - *lastDecreaseUs_ < minHoldUs) {
        delayIncreaseRun_ = 0;
        break;
      }
      int64_t base = (recvRateBps > 0 && recvRateBps < delayBitrate_) ? recvRateBps : delayBitrate_;
      int64_t cut = rate::scaled(base, 0.85);
      if (radioLossTolerant && goodputHintBps >= 1 &&
          (!lastFloorCutUs_ || nowUs - *lastFloorCutUs_ >= floorCutSpacingUs)) {
        cut = std::max(cut, rate::scaled(goodputHintBps, 0.9));
        lastFloorCutUs_ = nowUs;
      }
      delayBitrate_ = std::max(cut, effFloor_);
      lastDecreaseUs_ = nowUs;
      delayIncreaseRun_ = 0;
      break;
    }
    case DelaySignal::noData:
    case DelaySignal::underuse:
    default:
      if (!delayRecoveryHoldOnNoData_) delayIncreaseRun_ = 0;
      break;
  }
  return commit();
}

std::optional<int64_t> BitrateController::anchor(int64_t maxBps) {
  int64_t m = std::max(maxBps, effFloor_);
  if (m >= std::min(bitrate_, delayBitrate_)) return std::nullopt;
  bitrate_ = delayBitrate_ = m;
  cleanRun_ = delayIncreaseRun_ = 0;
  return commit();
}

void BitrateController::demoteFloor(int64_t toBps) {
  effFloor_ = std::max(std::min(toBps, floor_), demotedFloorMinBps);
}

void BitrateController::restoreFloor() { effFloor_ = floor_; }

void BitrateController::setUserCap(std::optional<int64_t> bps) {
  userCapStored_ = bps;
  ceiling_ = bps ? std::min(*bps, bppCap_) : bppCap_;
  floor_ = effFloor_ = std::min(ceiling_, floorCfg_);
  bitrate_ = std::max(std::min(bitrate_, ceiling_), floor_);
  delayBitrate_ = std::max(std::min(delayBitrate_, ceiling_), floor_);
  provenBps_ = std::min(provenBps_, ceiling_);
}

void BitrateController::resetLearning() {
  provenBps_ = provenCleanRun_ = cleanStreakFrames_ = 0;
  effFloor_ = floor_;
}

void BitrateController::seedProven(int64_t bps) {
  if (bps >= 1) provenBps_ = std::max(provenBps_, std::min(bps, ceiling_));
}

}  // namespace vela
