// The adaptation's work once per window of 60 feedbacks: the summary line, the slow loss averages,
// radio-loss tolerance, the motion average, the diagnostics snapshot, the keyframe budget floor, the
// throughput anchor, dynamic QP and the keyframe interval.
//
// The keyframe budget floor, the throughput anchor and dynamic QP run whether or not the owner listens
// for diagnostics: a host without a panel adapts like one with it. Only building and delivering the
// snapshot depend on the callback.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "hostcore/engines/encoder_engine.hpp"
#include "hostcore/session/host_session_feedback.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/keyframe_policy.hpp"
#include "hostcore/session/session_time.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

using tavlo::truncateSaturating;

constexpr double slowLossKeep = 0.85;
constexpr double radioBaseMin = 0.08;
constexpr double radioBaseMargin = 0.05;
constexpr double radioRxShare = 0.75;
constexpr uint64_t radioDelayQuietUs = 3'000'000;
constexpr double radioQuietParityLoss = 0.02;
constexpr double radioMinBaseLoss = 0.01;
constexpr int64_t radioTicksMax = 12;
constexpr int64_t radioTicksToEnter = 4;  // more than this many good windows
constexpr int64_t radioTicksToStay = 1;
constexpr int64_t radioWaitLogEvery = 600;
constexpr double motionFullFps = 50;
// A keyframe may take at most a quarter of the bandwidth.
constexpr double keyframeBandwidthShare = 0.25;
constexpr double minBudgetRateBps = 200'000;
constexpr double budgetFloorLogStepSec = 0.2;
constexpr int64_t anchorLossWindows = 2;
constexpr int64_t anchorMinTxBits = 600'000;
constexpr double anchorSendShare = 0.7;
constexpr double dynQpUnderuseShare = 0.6;
constexpr int64_t dynQpStepDown = 3;
constexpr int64_t dynQpStepUp = 6;
constexpr int64_t dynQpMin = 12;
constexpr int64_t dynQpMax = 51;

std::string fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, std::isfinite(value) ? value : 0.0);
  return text;
}
std::string str(int64_t value) { return std::to_string(value); }
int64_t asInt(double value) { return truncateSaturating<int64_t>(value); }

std::string clogText(const GovernorDecision& d) {
  if (!d.engaged) return "off";
  int64_t capK = d.capBps == GovernorDecision::noCap ? 0 : d.capBps / 1000;
  return "P" + str(d.phase) + "/" + str(capK) + "k";
}

}  // namespace

void HostSession::closeFeedbackWindow(const FeedbackWindow& w, const FrameFeedback& fb) {
  const uint64_t now = w.nowUs;
  const GovernorDecision& decision = w.decision;
  std::shared_ptr<EncoderEngine> encoder;
  {
    Locked locked(*this);
    encoder = locked->engines.encoder;
  }
  int64_t qp = encoder ? encoder->currentMaxQP() : decision.maxFrameQP;

  bool diagnosticsWanted = static_cast<bool>(callbacks()->onDiagnostics);
  std::optional<DiagSnapshot> snapshot;
  int64_t txBits = 0, txFrames = 0;
  bool intervalMoved = false;
  {
    Locked locked(*this);
    auto& a = locked->adaptation;
    auto& g = locked->geometry;
    auto& kf = locked->keyframes;
    auto& diag = locked->diag;
    BitrateController* bc = a.bitrateController.get();
    if (!bc) return;
    int64_t applied = bc->appliedBitrate();

    // 1. Summary.
    locked.log("📶 rx=" + str(fb.recvRateKbps) + "kbps applied=" + str(applied / 1'000'000) + "M enc=" +
               str(a.lastSetBitrate / 1000) + "k straty=" + str(w.lost) + "/60 fecLoss=" + str(asInt(a.fecLossEwma * 100)) +
               "% | " + linkRegimeName(w.link.regime) + " zator=" + clogText(decision) + " QP=" + str(qp) +
               " | skład=" + str(w.assembleSumUs / w.samples / 1000) + "/" + str(w.assembleMaxUs / 1000) + "ms dekod=" +
               str(w.decodeSumUs / w.samples / 1000) + "/" + str(w.decodeMaxUs / 1000) + "ms nack=" + str(w.nackSum) +
               " | 🔑kf=" + fixed(keyframeIntervalInForce(kf), 2) + "s idr=" + str(kf.idrReqWindow) + "req/" +
               str(kf.idrForcedWindow) + "kf gop=" + str(kf.gopForcedWindow) + " kfB=" + str(kf.lastIdrBytes / 1000) +
               "k | 🪜 detal " + str(g.softPermille) + "‰ fps " + str(g.softFpsTarget) + " | 📊 tx " +
               str(diag.diagTxPktsLog) + " dgram");
    kf.idrReqWindow = kf.idrForcedWindow = kf.gopForcedWindow = 0;
    diag.diagTxPktsLog = 0;

    // 2. Slow loss averages.
    double lossW = static_cast<double>(w.lost) / FeedbackWindow::feedbacks;
    double residW = static_cast<double>(w.residualLost) / FeedbackWindow::feedbacks;
    a.rawLossSlowEwma = slowLossKeep * a.rawLossSlowEwma + (1 - slowLossKeep) * lossW;
    a.residualLossSlowEwma = slowLossKeep * a.residualLossSlowEwma + (1 - slowLossKeep) * residW;
    double base = std::max(radioBaseMin, a.rawLossSlowEwma + radioBaseMargin);

    // 3. Radio-loss tolerance: losses on a link whose delay is flat and whose goodput keeps up are radio
    // noise, not congestion.
    auto sinceOveruse = ageUs(now, a.lastDelayOveruseUs);
    bool delayQuiet = !sinceOveruse || *sinceOveruse > radioDelayQuietUs;
    bool rxOk = radioRxShare * static_cast<double>(applied) <= a.rxEwmaSlow;
    bool good = rxOk && delayQuiet && lossW <= base &&
                (a.fecLossEwma > radioQuietParityLoss || a.rawLossSlowEwma > radioMinBaseLoss);
    a.radioOkTicks = std::min(radioTicksMax, good ? a.radioOkTicks + 1 : std::max<int64_t>(0, a.radioOkTicks - 2));
    bool tolerant = false;
    if (tunables_.radioTolerantEnabled) {
      tolerant = a.radioTolerant ? a.radioOkTicks > radioTicksToStay
                                 : a.radioOkTicks > radioTicksToEnter && now >= a.radioCooldownUntilUs;
    }
    std::string overuseAgo = sinceOveruse ? str(static_cast<int64_t>(*sinceOveruse / 1'000'000)) : "∞";
    if (tolerant != a.radioTolerant) {
      locked.log(tolerant ? "🛰 tolerancja strat radiowych ON (baza " + str(asInt(a.rawLossSlowEwma * 100)) +
                                "%, delay płaski " + overuseAgo + "s, goodput " + str(asInt(a.rxEwmaSlow / 1000)) + "k)"
                          : std::string("🛰 tolerancja strat radiowych OFF (warunki ustały)"));
    } else if (!tolerant && a.feedbackCount % radioWaitLogEvery == 0 &&
               !(a.fecLossEwma <= radioQuietParityLoss && a.rawLossSlowEwma <= radioMinBaseLoss)) {
      std::string reasons;
      auto add = [&reasons](const std::string& r) { reasons += (reasons.empty() ? "" : " · ") + r; };
      if (!delayQuiet) add("delay overuse " + overuseAgo + "s temu");
      if (!rxOk) add("goodput " + str(asInt(a.rxEwmaSlow / 1000)) + "k < 75% oferty");
      if (lossW > base) add("straty " + str(asInt(lossW * 100)) + "% > próg " + str(asInt(base * 100)) + "%");
      locked.log("🛰 czekam (" + str(a.radioOkTicks) + "/5): " + (reasons.empty() ? "warunki OK, zbieram okna" : reasons));
    }
    a.radioTolerant = tolerant;
    bc->radioLossTolerant = tolerant;
    bc->goodputHintBps = asInt(a.rxEwmaSlow);

    // 4. Motion, from the capture rate (an idle screen captures few frames).
    g.motionEwma = 0.85 * g.motionEwma + 0.15 * std::min(1.0, static_cast<double>(diag.diagSckFps) / motionFullFps);

    // 5. The window's sent video, taken whether or not a snapshot is built.
    txBits = diag.diagTxBytes * 8;
    txFrames = diag.diagTxFrames;
    if (diagnosticsWanted) snapshot = fillSnapshotLocked(locked.state(), w, fb, qp, now);
    diag.diagTxBytes = diag.diagTxFrames = diag.diagTxPkts = 0;
    diag.diagSentWindowUs = now;

    if (txFrames > 0 && g.currentPw >= 1) {
      // Keyframe budget floor.
      if (kf.kfAdaptive && kf.lastIdrBytes >= 1) {
        double before = kf.kfController.intervalSec();
        double floorSec = std::min(kf.kfController.growCeilSec(),
                                   static_cast<double>(kf.lastIdrBytes) * 8 /
                                       std::max(minBudgetRateBps, keyframeBandwidthShare * static_cast<double>(applied)));
        kf.kfController.setBudgetFloor(floorSec);
        double after = kf.kfController.intervalSec();
        if (after > before + budgetFloorLogStepSec) {
          locked.log("🔑 keyframe " + str(kf.lastIdrBytes / 1000) + "k przy ofercie " + str(applied / 1000) +
                     "k → interwał min " + fixed(after, 1) + "s (≤25% pasma)");
        }
        if (after != before) {
          kf.kfEpoch += 1;
          intervalMoved = true;
        }
      }
      // Throughput anchor: lossy windows in a row while far more is sent than arrives.
      if (w.lost > 0) {
        a.lossWindowRun += 1;
        int64_t rx = asInt(a.recvRateEwma);
        if (a.lossWindowRun >= anchorLossWindows && txBits > anchorMinTxBits && a.recvRateEwma > 0 &&
            anchorSendShare * static_cast<double>(txBits) > static_cast<double>(rx)) {
          if (auto anchored = bc->anchor(rx * 12 / 10)) {
            locked.log("🪢 kotwica przepustowości: wysyłam " + str(txBits / 1000) + "k, dochodzi " + str(rx / 1000) +
                       "k → oferta " + str(*anchored / 1'000'000) + "M");
          }
        }
      } else {
        a.lossWindowRun = 0;
      }
      // Dynamic QP: sharper while the stream leaves its budget unused on a clean link, coarser on trouble.
      if (tunables_.dynamicQpEnabled) {
        if (!decision.engaged && w.lost == 0 && !a.cloggedNow) {
          if (applied >= w.sharpFloorBps &&
              static_cast<double>(txBits) / static_cast<double>(std::max<int64_t>(1, applied)) < dynQpUnderuseShare)
            a.dynQp = std::max(dynQpMin, a.dynQp - dynQpStepDown);
        } else {
          a.dynQp = std::min(dynQpMax, a.dynQp + dynQpStepUp);
        }
      }
    }

    // 6. Keyframe interval by the window's losses.
    if (kf.kfAdaptive) {
      bool ample = tunables_.kfShortOnAmpleEnabled && applied >= tunables_.kfAmpleMinBps;
      if (auto moved = kf.kfController.onWindow(w.lost, ample)) {
        kf.kfEpoch += 1;
        intervalMoved = true;
        locked.log("🔑 keyframe(AIMD) → " + fixed(*moved, 2) + "s");
      }
    }
  }
  if (intervalMoved) applyKeyframeToEncoder();
  if (snapshot) deliverSnapshot(std::move(*snapshot));
}

}  // namespace vela
