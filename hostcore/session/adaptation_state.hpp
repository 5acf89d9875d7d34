#pragma once
// Session state: the feedback-driven adaptation (bitrate, quantiser, relief, parity, duplication,
// radio tolerance). Guarded by the session mutex. The bitrate controller has no lock of its own and is
// called only under the session mutex; the link estimator and the fluidity governor guard themselves
// and live with the session's components. The tunables read at construction are SessionTunables.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>

#include "media/bitrate_controller.hpp"
#include "protocol/path_messages.hpp"

namespace vela {

struct AdaptationState {
  static constexpr int64_t defaultMaxQP = 44;     // the encoder's quantiser ceiling normally
  static constexpr int64_t reliefMaxQP = 51;      // and under loss relief
  static constexpr int64_t defaultDynQp = 34;

  std::unique_ptr<BitrateController> bitrateController;  // absent until engine setup

  // Feedback windows and averages.
  int64_t feedbackCount = 0;
  int64_t lostFeedbackWindow = 0;
  int64_t decodeSumUs = 0;
  int64_t assembleSumUs = 0;
  int64_t nackSum = 0;
  int64_t rtxSum = 0;
  int64_t decodeMaxWin = 0;
  int64_t assembleMaxWin = 0;
  double fecLossEwma = 0;
  int64_t lossWindowRun = 0;
  double recvRateEwma = 0;  // bit/s
  double rxEwmaSlow = 0;    // bit/s
  double kfOverEwma = 0;
  double fbLagEwmaUs = 0;
  double rawLossSlowEwma = 0;
  double residualLossSlowEwma = 0;
  int64_t residualLostWindow = 0;
  double fecRatioEwma = 0;
  double fecRecoveredEwma = 0;
  double fecFailedEwma = 0;
  double overshootEwma = 1.0;
  int64_t ovsWarmupTicks = 0;

  // Quantiser and relief.
  int64_t lastAppliedMaxQP = defaultMaxQP;
  int64_t lossReliefQP = reliefMaxQP;
  bool lossReliefActive = false;
  uint64_t lossReliefUntilUs = 0;  // relief and loss clocks: µs, 0 = never
  uint64_t lossObservedUntilUs = 0;
  uint64_t slowRecoveryUntilUs = 0;
  uint64_t lastReliefArmUs = 0;
  uint64_t reliefChronicUntilUs = 0;
  uint64_t reliefOnSinceUs = 0;
  uint64_t lastChronicExpireUs = 0;
  uint64_t lossHotUntilUs = 0;
  uint64_t radioCooldownUntilUs = 0;
  uint64_t lastDelayOveruseUs = 0;

  // Link memory seed and bitrate.
  std::optional<int64_t> seededStartBps;
  int64_t seededProvenBps = 0;
  bool seedReliefPending = false;
  bool floorDemoted = false;
  int64_t lastSetBitrate = 0;
  int64_t lastDataRateShort = -1;

  // Link verdicts.
  bool cloggedNow = false;
  bool burstEngaged = false;
  bool wanLink = false;
  bool radioTolerant = false;
  bool fecPrimed = false;
  int64_t radioOkTicks = 0;
  int64_t delayOveruseRun = 0;

  // Parity, duplication and probes.
  int64_t fecSent = 0;
  uint64_t dupUntilUs = 0;
  int64_t dupFrameCounter = 0;
  int64_t dupSent = 0;
  std::set<uint32_t> probeFrameIds;

  std::optional<ClientPathMessage> lastClientPath;  // the client's last reported interface
  double audioRxPeak = 0;  // bit/s: the audio path's slowly decaying estimate of the link
  uint64_t lastAudioPeakUs = 0;
  int64_t dynQp = defaultDynQp;
};

}  // namespace vela
