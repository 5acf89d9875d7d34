// Feedback-driven adaptation: each frame feedback of the client through the bitrate controller, the
// link-state estimator and the fluidity governor, the session's own loss, rate, lag and motion averages,
// loss relief and its chronic window, the cascade, and the encoder's bitrate and quantiser limits. The
// work of every 60th feedback is in host_session_feedback_window.cpp.
//
// The bitrate controller has no lock: it is called under the session mutex. The estimator and the
// governor guard themselves and are called without it; the encoder only after the release.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "hostcore/engines/encoder_engine.hpp"
#include "hostcore/session/feedback_cascade.hpp"
#include "hostcore/session/host_session_feedback.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/keyframe_policy.hpp"
#include "hostcore/session/loss_relief.hpp"
#include "hostcore/session/session_time.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

using Status = FrameFeedback::Status;
using tavlo::truncateSaturating;

// Delay overuse: each overuse adds to a run that decays by one per other feedback; a dense run or a
// receive rate far below the offer is hard congestion, which ends radio-loss tolerance for a while.
constexpr int64_t overuseRunStep = 3;
constexpr int64_t overuseRunMax = 120;
constexpr int64_t overuseRunDense = 60;
constexpr double hardCongestionRxShare = 0.75;
constexpr uint64_t radioCooldownUs = 15'000'000;
// Receive rates only anchor the delay loop's cut when losses show the link saturated.
constexpr double saturatedResidualLoss = 0.02;
// Decoding may take 80 % of a frame interval; the cap climbs back 5 fps per 1.5 s.
constexpr double decodeBudgetUsPerSecond = 800'000;
constexpr int64_t minDecodeFps = 24;
constexpr int64_t maxFps = 60;
constexpr int64_t decodeFpsRaiseStep = 5;
constexpr uint64_t decodeFpsRaiseSpacingUs = 1'500'000;
constexpr int64_t fecLogEvery = 120;
// Feedback lag hysteresis between a LAN and a WAN verdict.
constexpr double wanLagAboveUs = 90'000;
constexpr double lanLagBelowUs = 60'000;
constexpr double chronicFloorRxShare = 0.9;
constexpr int64_t chronicMinQP = 35;
constexpr int64_t freeMinQP = 10;
constexpr double anchorHeadroom = 1.2;
// Overshoot is watched only after a warm-up, and only against a user cap the stream presses against.
constexpr int64_t overshootWarmupTicks = 180;
constexpr double overshootRatioMax = 4.0;
constexpr double overshootCapShare = 0.9;
constexpr int64_t qpPressureBase = 34;
constexpr double qpPressureSpan = 17;
constexpr int64_t sharpQP = 30;  // the clean-link quantiser ceiling without dynamic QP

std::string fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, std::isfinite(value) ? value : 0.0);
  return text;
}

std::string str(int64_t value) { return std::to_string(value); }
int64_t asInt(double value) { return truncateSaturating<int64_t>(value); }

}  // namespace

void HostSession::applyFeedback(const FrameFeedback& fb) {
  const bool lost = fb.status == Status::lost;
  const bool viaFec = fb.status == Status::recoveredViaFec;
  const bool clean = fb.status == Status::clean;
  const int64_t rateBps = int64_t{fb.recvRateKbps} * 1000;
  FeedbackWindow window;
  bool windowClosed = false;
  uint8_t signalByte;
  int64_t applied, floor;
  int64_t fps;
  {
    Locked locked(*this);
    auto& a = locked->adaptation;
    auto& g = locked->geometry;
    BitrateController* bc = a.bitrateController.get();
    if (!bc) return;  // feedback before engine setup
    uint64_t now = nowUs();

    // 1. The loss loop.
    fps = std::max<int64_t>(1, std::min({g.targetFps, g.sourceFpsCap, g.decodeFpsCap}));
    bc->onFeedback({lost, 0, fb.assembleDurationUs, static_cast<uint32_t>(1'000'000 / fps)});

    // 2. The delay loop; the frames right after a keyframe do not count as overuse.
    const bool overuseSeen = fb.delaySignal == static_cast<uint8_t>(DelaySignal::overuse);
    DelaySignal signal = delaySignalFromByte(fb.delaySignal);
    if (overuseSeen && tunables_.suppressKeyframeOveruse) {
      uint32_t sinceKeyframe = fb.frameId - locked->keyframes.lastIdrFrameId;
      if (fb.frameId > locked->keyframes.lastIdrFrameId && sinceKeyframe <= tunables_.kfOveruseSuppressFrames)
        signal = DelaySignal::normal;
    }
    signalByte = static_cast<uint8_t>(signal);
    int64_t delayRate = rateBps;
    if (!lost && tunables_.delayCutAnchorSaturatedOnly && a.residualLossSlowEwma <= saturatedResidualLoss)
      delayRate = 0;
    bc->onDelaySignal(signal, delayRate, now);

    // 3. Hard congestion.
    applied = bc->appliedBitrate();
    floor = bc->floorBps();
    if (overuseSeen) {
      a.delayOveruseRun = std::min(overuseRunMax, a.delayOveruseRun + overuseRunStep);
      double rx = a.rxEwmaSlow > 0 ? a.rxEwmaSlow : static_cast<double>(rateBps);
      if (rx < hardCongestionRxShare * static_cast<double>(applied) ||
          (a.delayOveruseRun >= overuseRunDense && applied > 3 * floor / 2)) {
        bool wasTolerant = a.radioTolerant;
        a.lastDelayOveruseUs = now;
        a.radioTolerant = false;
        a.radioOkTicks = 0;
        a.radioCooldownUntilUs = now + radioCooldownUs;
        bc->radioLossTolerant = false;
        if (wasTolerant)
          locked.log("🛰 tolerancja strat radiowych OFF (TWARDY zator: gęstość overuse " + str(a.delayOveruseRun) +
                     "/120 lub rx<75% oferty)");
      }
    } else {
      a.delayOveruseRun = std::max<int64_t>(0, a.delayOveruseRun - 1);
    }

    // 4. Window counters.
    a.feedbackCount += 1;
    if (lost || fb.nackRounds >= 2) a.lostFeedbackWindow += 1;
    if (lost) a.residualLostWindow += 1;
    a.decodeSumUs += fb.decodeDurationUs;
    a.assembleSumUs += fb.assembleDurationUs;
    a.nackSum += fb.nackRounds;
    a.rtxSum += fb.retransmittedChunks;
    a.decodeMaxWin = std::max<int64_t>(a.decodeMaxWin, fb.decodeDurationUs);
    a.assembleMaxWin = std::max<int64_t>(a.assembleMaxWin, fb.assembleDurationUs);

    // 5. Decode fps cap, from the average of the feedbacks of the current window (dividing by a whole
    // window's 60 mid-window would make the cap saw-tooth with the window).
    int64_t samples = (a.feedbackCount - 1) % FeedbackWindow::feedbacks + 1;
    double avgDecode = static_cast<double>(a.decodeSumUs) / static_cast<double>(samples);
    int64_t decodeTarget =
        avgDecode >= 1 ? std::clamp<int64_t>(asInt(decodeBudgetUsPerSecond / avgDecode), minDecodeFps, maxFps) : maxFps;
    if (decodeTarget < g.decodeFpsCap) {
      g.decodeFpsCap = decodeTarget;
    } else if (decodeTarget > g.decodeFpsCap) {
      auto sinceRaise = ageUs(now, g.lastDecFpsRaiseUs);
      if (!sinceRaise || *sinceRaise > decodeFpsRaiseSpacingUs) {
        g.decodeFpsCap = std::min(decodeTarget, g.decodeFpsCap + decodeFpsRaiseStep);
        g.lastDecFpsRaiseUs = now;
      }
    }

    // 6. End of a window: remember its values, reset the counters.
    if (a.feedbackCount % FeedbackWindow::feedbacks == 0) {
      windowClosed = true;
      window.lost = a.lostFeedbackWindow;
      window.residualLost = a.residualLostWindow;
      window.decodeSumUs = a.decodeSumUs;
      window.decodeMaxUs = a.decodeMaxWin;
      window.assembleSumUs = a.assembleSumUs;
      window.assembleMaxUs = a.assembleMaxWin;
      window.nackSum = a.nackSum;
      a.residualLostWindow = a.lostFeedbackWindow = 0;
      a.decodeSumUs = a.assembleSumUs = a.nackSum = a.rtxSum = 0;
      a.decodeMaxWin = a.assembleMaxWin = 0;
    }

    // 7. Parity-loss averages.
    a.fecLossEwma = 0.95 * a.fecLossEwma + 0.05 * ((lost || viaFec) ? 1.0 : 0.0);
    a.fecRecoveredEwma = 0.95 * a.fecRecoveredEwma + 0.05 * (viaFec ? 1.0 : 0.0);
    a.fecFailedEwma = 0.95 * a.fecFailedEwma + 0.05 * (lost ? 1.0 : 0.0);
    if (a.feedbackCount % fecLogEvery == 0) {
      double sum = a.fecRecoveredEwma + a.fecFailedEwma;
      int64_t share = sum <= 0.0001 ? 100 : asInt(a.fecRecoveredEwma / sum * 100);
      locked.log("🛡️ FEC: redundancja=" + str(asInt(a.fecRatioEwma * 100)) + "% strata=" +
                 str(asInt(a.fecLossEwma * 100)) + "% odzysk=" + str(share) + "% residual=" +
                 fixed(a.fecFailedEwma * 100, 2) + "%");
    }

    // 8. Feedback lag of clean frames, and the WAN verdict.
    size_t slot = fb.frameId & 0xFF;
    const auto& send = locked->send;
    if (clean && send.frameCapIds[slot] == fb.frameId && send.frameCapUs[slot] != 0 && now >= send.frameCapUs[slot]) {
      double lag = static_cast<double>(now - send.frameCapUs[slot]);
      a.fbLagEwmaUs = a.fbLagEwmaUs == 0 ? lag : 0.95 * a.fbLagEwmaUs + 0.05 * lag;
      bool wan = a.wanLink;
      if (a.fbLagEwmaUs > wanLagAboveUs) wan = true;
      if (a.fbLagEwmaUs < lanLagBelowUs) wan = false;
      if (wan != a.wanLink) {
        a.wanLink = wan;
        std::string ms = str(asInt(a.fbLagEwmaUs / 1000));
        locked.log(wan ? "🛰 tor WAN (lag " + ms + " ms) → FEC stały (NACK nie zdąży przy tym RTT)"
                       : "🛰 tor LAN (lag " + ms + " ms) → FEC wraca do okien hot");
      }
    }
  }

  // 9. The link state and the governor guard themselves.
  uint64_t now = nowUs();
  components_.linkEstimator->onFeedback(lost, viaFec, clean, fb.assembleDurationUs, signalByte, now);
  window.link = components_.linkEstimator->state(applied, floor);
  int64_t targetFps;
  {
    Locked locked(*this);
    targetFps = locked->geometry.targetFps;
  }
  window.decision = components_.fluidityGovernor->update(window.link, rateBps, applied, floor, targetFps, now);
  window.nowUs = now;
  const GovernorDecision& decision = window.decision;

  std::shared_ptr<EncoderEngine> encoder;
  std::optional<int64_t> setBitrate, setMaxQP;
  std::optional<int64_t> setMinQP;
  bool reliefChanged = false;
  {
    Locked locked(*this);
    auto& a = locked->adaptation;
    auto& g = locked->geometry;
    auto& kf = locked->keyframes;
    BitrateController* bc = a.bitrateController.get();
    if (!bc) return;  // the controllers were replaced meanwhile
    encoder = locked->engines.encoder;

    // 10. Loss relief.
    bool probe = a.probeFrameIds.erase(fb.frameId) > 0;
    LossReliefStep relief = stepLossRelief(a, now, window.link.regime == LinkRegime::critical || (probe && (lost || viaFec)));
    bool active = relief.active;
    bool newlyChronic = relief.newlyChronic;
    reliefChanged = relief.changed;
    if (relief.chronicEndedEarly) locked.log("🌤️ chroniczność wygaszona wcześnie (rx zdrowe, relief cichy) — pełna jakość");
    bool chronicOpen = now < a.reliefChronicUntilUs;
    double dupFactor = (now < a.dupUntilUs && !decision.suppressPFec) ? 2.0 : 1.0;
    double fecShare = a.wanLink ? a.fecRatioEwma : 0.0;

    // 11. Slow recovery while loss was recently seen.
    bc->slowRecovery = now < a.slowRecoveryUntilUs;

    // 12. The startup keyframe's quantiser floor ends with the first feedback.
    if (kf.bootstrapMinQPActive) {
      kf.bootstrapMinQPActive = false;
      setMinQP = freeMinQP;
      locked.log("🎯 cap startowego keyframe'a zdjęty (1. feedback od klienta)");
    }

    // 13. Receive-rate averages; a critical link anchors the offer to what arrives.
    if (rateBps > 0) {
      double rate = static_cast<double>(rateBps);
      a.recvRateEwma = a.recvRateEwma == 0 ? rate : 0.15 * rate + 0.85 * a.recvRateEwma;
      a.rxEwmaSlow = a.rxEwmaSlow == 0 ? rate : 0.02 * rate + 0.98 * a.rxEwmaSlow;
    } else {
      a.recvRateEwma *= 0.7;
      a.rxEwmaSlow *= 0.95;
    }
    if (window.link.regime == LinkRegime::critical && a.recvRateEwma > 0)
      bc->anchor(asInt(a.recvRateEwma * anchorHeadroom));

    // 14. Relief on and off move the keyframe interval.
    if (reliefChanged) {
      locked.log(active ? "🩹 relief strat ON: sufit QP→51 (critical — tanie klatki odzysku)"
                        : "🩹 relief strat OFF (sufit QP wraca do governora)");
      kf.kfEpoch += 1;
    }
    if (newlyChronic) locked.log("🩹 relief CHRONICZNY: flapping łącza → okno QP 30 s (przez 120 s)");

    // 15. The uplink evaluation of the camera and microphone runs below, once the lock is released.

    // 16. The chronic window lowers the bitrate floor and raises the quantiser floor.
    if (chronicOpen) {
      if (a.rxEwmaSlow > 0) bc->demoteFloor(asInt(a.rxEwmaSlow * chronicFloorRxShare));
      if (!a.floorDemoted) {
        a.floorDemoted = true;
        locked.log("⬇️ podłoga AIMD zdjęta (chroniczny flapping): floor→max(500k, 0.9×rx)");
        setMinQP = chronicMinQP;
        locked.log("🎯 podłoga QP 35 (okno chroniczne — cap kosztu keyframe'ów)");
      }
    } else if (a.floorDemoted) {
      a.floorDemoted = false;
      a.lastChronicExpireUs = now;
      bc->restoreFloor();
      setMinQP = freeMinQP;
      locked.log("⬆️ podłoga AIMD przywrócona (" + str(bc->floorBps() / 1000) +
                 "k) + QP wolne — okno chroniczne wygasło");
    }

    // 17. Overshoot against a user cap.
    applied = bc->appliedBitrate();
    if (applied >= 1 && a.rxEwmaSlow > 0) {
      if (a.ovsWarmupTicks < overshootWarmupTicks) {
        a.ovsWarmupTicks += 1;
      } else {
        double r = 1.0;
        if (bc->hasUserCap() && static_cast<double>(applied) >= overshootCapShare * static_cast<double>(bc->ceilingBps()))
          r = std::min(overshootRatioMax, a.rxEwmaSlow / static_cast<double>(applied));
        a.overshootEwma = 0.98 * a.overshootEwma + 0.02 * r;
      }
    }
    double ovsP = std::min(1.0, std::max(0.0, a.overshootEwma - 1.5));

    // 18. The cascade.
    if (tunables_.softReliefEnabled) {
      double qpP = (!active || a.radioTolerant)
                       ? static_cast<double>(std::max<int64_t>(0, decision.maxFrameQP - qpPressureBase)) / qpPressureSpan
                       : 1.0;
      CascadeInput in;
      in.nowUs = now;
      in.pressure = std::max({ovsP, decision.pressure, qpP});
      in.applied = applied;
      in.provenBps = bc->provenRateBps();
      in.ceilingBps = bc->ceilingBps();
      in.rxEwmaSlow = a.rxEwmaSlow;
      in.lossShare = tunables_.lossShrinkResidual ? a.residualLossSlowEwma : a.rawLossSlowEwma;
      in.lossShrinkEnabled = tunables_.lossShrinkEnabled;
      in.lossShrinkGain = tunables_.lossShrinkGain;
      in.lastIdrBytes = kf.lastIdrBytes;
      in.keyframeIntervalSec = keyframeIntervalInForce(kf);
      in.chronicOpen = chronicOpen;
      CascadeOutcome c = runCascade(g, a.kfOverEwma, in);
      if (c.logStage) {
        locked.log("🪜 kaskada etap " + str(c.targets.stage) + ": fps " + str(c.targets.fps) + " · detal " +
                   fixed(static_cast<double>(c.targets.permille) / 1000, 2) + "× (deficyt " + str(c.deficitPct) +
                   "%, presja " + str(asInt(in.pressure * 100)) + "%, ruch " + str(asInt(g.motionEwma * 100)) + "%)");
      }
      if (c.softChanged) {
        locked.log(g.softPermille >= 1000 ? std::string("🫧 miękka rozdzielczość OFF (pełny detal)")
                                          : "🫧 miękka rozdzielczość " +
                                                fixed(static_cast<double>(g.softPermille) / 1000, 2) + "× (rx " +
                                                str(asInt(a.rxEwmaSlow / 1000)) + "k)");
      }
      if (c.fpsChanged) {
        locked.log(g.softFpsTarget >= maxFps ? std::string("🎞 fps 60 (pełne tempo)")
                                             : "🎞 fps " + str(g.softFpsTarget) + " (za przepływnością)");
      }
    }

    // 19. The encoder: bitrate (halved while frames are duplicated, less the parity share on a WAN),
    // quantiser ceiling.
    double capped = static_cast<double>(std::min(applied, decision.capBps));
    int64_t bitrate = asInt(capped / (dupFactor + fecShare));
    if (bitrate != a.lastSetBitrate) {
      a.lastSetBitrate = bitrate;
      setBitrate = bitrate;
    }
    window.sharpFloorBps = asInt(tunables_.sharpMinBppCfg *
                                 static_cast<double>(std::max<int64_t>(1, g.currentPw * g.currentPh)) *
                                 static_cast<double>(g.targetFps));
    int64_t qp;
    if (!active && !decision.engaged && ovsP <= 0.01 && applied >= window.sharpFloorBps) {
      qp = tunables_.dynamicQpEnabled ? a.dynQp : sharpQP;
    } else {
      int64_t base = active ? std::max(decision.maxFrameQP, AdaptationState::reliefMaxQP) : decision.maxFrameQP;
      qp = std::max(qpPressureBase + tavlo::roundChecked<int64_t>(ovsP * qpPressureSpan).value_or(0), base);
    }
    if (qp != a.lastAppliedMaxQP) {
      a.lastAppliedMaxQP = qp;
      setMaxQP = qp;
    }
    a.cloggedNow = decision.suppressPFec;
    bool burstWas = a.burstEngaged;
    a.burstEngaged = decision.engaged;
    auto& rtx = locked->retransmit;
    rtx.rtxRefillPerSec = decision.rtxRefillPerSec;
    rtx.rtxTokensMax = decision.rtxTokensMax;
    rtx.rtxTokens = std::min(rtx.rtxTokens, rtx.rtxTokensMax);
    if (burstWas != a.burstEngaged) {
      locked.log(a.burstEngaged ? "🧯 zator ON: cap=" + str(decision.capBps / 1000) + "k QP≤" +
                                      str(decision.maxFrameQP) + " (rx-krater+exhausted+strata ≥1.2s)"
                                : std::string("🧯 zator OFF (łącze czyste → pełna jakość, cap zdjęty)"));
    }
  }

  if (encoder) {
    if (setMinQP) encoder->setMinFrameQP(*setMinQP);
    if (setBitrate) encoder->setBitrate(*setBitrate);
    if (setMaxQP) encoder->setMaxFrameQP(*setMaxQP);
  }
  if (reliefChanged) applyKeyframeToEncoder();
  evaluateUplinks();  // takes the session lock itself and asks the owner whether the devices are in use
  // 20. Once per window.
  if (windowClosed) closeFeedbackWindow(window, fb);
}

}  // namespace vela
