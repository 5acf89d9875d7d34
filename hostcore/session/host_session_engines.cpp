// Engine creation, warm resume and engine setup, run by the hello after the host hello and finished
// before it returns: the engines and their callbacks, the bitrate controller with its floor, wire cap
// and link-memory seed, the startup limits, the capture start and the first control messages.
//
// An engine started or created here while the session was being closed is stopped again at once: the
// teardown that ran meanwhile could not see it.
#include <exception>

#include "hostcore/engines/capture_engine.hpp"
#include "hostcore/engines/encoder_engine.hpp"
#include "hostcore/session/frame_send_math.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/keyframe_policy.hpp"

namespace vela {

namespace {

constexpr uint64_t seedDupWindowUs = 5'000'000;
constexpr uint64_t seedReliefUs = 8'000'000;
constexpr uint64_t seedSlowRecoveryUs = 30'000'000;
constexpr int64_t softReliefBelowProvenBps = 1'200'000;
constexpr int64_t softReliefPermille = 500;
constexpr int64_t startupMinQP = 38;     // the first keyframe on a remembered WAN link stays this coarse
constexpr int64_t liftedMinQP = 10;      // until the first feedback or the backstop lifts it
constexpr uint64_t startupCapBackstopUs = 3'000'000;
constexpr uint64_t secondUs = 1'000'000;

bool closing(const SessionState& s) { return s.identity.disconnected || s.path.transportCancelled; }

void stopEngines(const std::shared_ptr<EncoderEngine>& enc, const std::shared_ptr<CaptureEngine>& cap) {
  if (cap) cap->stop();
  if (enc) enc->invalidate();
}

}  // namespace

void HostSession::startEngines(const HelloDisplay& display, int64_t windowPxW, int64_t windowPxH) {
  startUplinkLoops();  // the client's flows are read from the moment the host hello is out
  const int64_t w = display.w, h = display.h;
  double keyframeSec;
  int64_t startBps, fps;
  std::optional<WarmEngineBundle> bundle;
  {
    Locked locked(*this);
    keyframeSec = keyframeIntervalInForce(locked->keyframes);
    startBps = locked->adaptation.seededStartBps.value_or(EngineSetupLimits::startBpsWithoutSeed);
    fps = locked->geometry.targetFps;
    bundle = std::exchange(locked->warm.pendingWarmBundle, std::nullopt);
  }

  std::weak_ptr<HostSession> weak = weak_from_this();
  auto encodedCallback = [weak, pointsW = w / 2, pointsH = h / 2](const EncodedFrame& frame) {
    if (auto self = weak.lock()) self->handleEncoded(frame, pointsW, pointsH);
  };
  auto capturedCallback = [weak](const CaptureEngine::PixelBuffer& buffer, uint64_t captureTimestampUs) {
    if (auto self = weak.lock()) self->onCapturedFrame(buffer, captureTimestampUs);
  };

  std::shared_ptr<EncoderEngine> enc;
  std::shared_ptr<CaptureEngine> cap;
  bool warmAdopted = false;
  if (bundle && bundle->fps == fps && bundle->pxW == w && bundle->pxH == h && bundle->displayID == display.displayID) {
    enc = bundle->encoder;
    cap = bundle->capture;
    enc->setOnFrame(encodedCallback);
    log("♨️ warm resume: przejmuję żywe SCK+enkoder (bez restartu; ~0 ms zamiast ~300 ms)");
    warmAdopted = true;
  } else {
    if (bundle) {
      log("🅿️ warm bundle niekompatybilny (" + std::to_string(bundle->pxW) + "×" + std::to_string(bundle->pxH) + "@" +
          std::to_string(bundle->fps) + "/did" + std::to_string(bundle->displayID) + " vs " + std::to_string(w) + "×" +
          std::to_string(h) + "@" + std::to_string(fps) + "/did" + std::to_string(display.displayID) +
          ") — zatrzymuję silniki");
      stopEngines(bundle->encoder, bundle->capture);
    }
    enc = deps_.engines->makeEncoderEngine(w, h, fps, startBps, keyframeSec, encodedCallback);
    log(enc->ltrEnabled() ? "✅ LTR włączony (odzysk bez IDR)" : "⚠️ LTR niedostępny — fallback IDR");
    // The low-latency line says which reference mode really runs: x265 here has no long-term references,
    // so "+LTR" after "LTR niedostępny" would contradict the line above it.
    const std::string refs = enc->ltrEnabled() ? "+LTR" : "LTR wyłączony";
    log("📐 enkoder " + std::to_string(w) + "×" + std::to_string(h) + " @" + std::to_string(fps) +
        "fps HEVC Main — LLRC=" +
        (enc->lowLatencyRC() ? "TAK ✅ (synchr, " + refs + ", równa latencja)" : std::string("nie — async")));
    cap = deps_.engines->makeCaptureEngine(capturedCallback);
  }
  wireEngines(enc, cap, w, h);
  {
    Locked locked(*this);
    auto& warm = locked->warm;
    warm.warmPxW = w;
    warm.warmPxH = h;
    warm.warmFps = fps;
    warm.warmHelloW = windowPxW;
    warm.warmHelloH = windowPxH;
    warm.warmDisplayID = display.displayID;
  }
  finishEngineSetup(enc, cap, display.displayID, w, h, w, h, display.captureW, display.captureH, warmAdopted);
}

void HostSession::wireEngines(const std::shared_ptr<EncoderEngine>& enc, const std::shared_ptr<CaptureEngine>& cap,
                              int64_t, int64_t) {
  std::weak_ptr<HostSession> weak = weak_from_this();
  auto forwardLog = [weak](const std::string& line) {
    if (auto self = weak.lock()) self->log(line);
  };
  enc->setOnLog(forwardLog);
  enc->setOnEncodeStats([weak](uint64_t averageUs, uint64_t maximumUs) {
    auto self = weak.lock();
    if (!self) return;
    Locked locked(*self);
    locked->diag.diagEncAvgMs = int64_t(averageUs / 1000);
    locked->diag.diagEncMaxMs = int64_t(maximumUs / 1000);
  });
  cap->setOnLog(forwardLog);
  startAudioSendPath(*cap);
}

void HostSession::finishEngineSetup(const std::shared_ptr<EncoderEngine>& enc, const std::shared_ptr<CaptureEngine>& cap,
                                    uint32_t displayID, int64_t providedPxW, int64_t providedPxH, int64_t pw, int64_t ph,
                                    int64_t startCaptureW, int64_t startCaptureH, bool warmAdopted) {
  bool seedRelief = false;
  {
    Locked locked(*this);
    SessionState& s = locked.state();
    if (closing(s)) {
      locked.log("sesja zamknięta w trakcie HELLO — nie startuję capture");
      // New engines are stopped too: nobody else will (the teardown has already run).
      locked.later([enc, cap] { stopEngines(enc, cap); });
      return;
    }
    s.engines.encoder = enc;
    s.engines.capture = cap;
    s.keyframes.kfEpoch += 1;
    if (warmAdopted) s.keyframes.forceKeyframeNext = true;

    const auto cap_ = wireCapBps(deps_.settings->getInt("tl.wireCapKbps"));
    if (cap_) locked.log("🚧 sufit wire (policer): " + std::to_string(*cap_ / 1000) + "k");
    const int64_t floor = bitrateFloorBps(pw, ph, keyframeIntervalInForce(s.keyframes));
    auto& a = s.adaptation;
    a.bitrateController = std::make_unique<BitrateController>(
        pw, ph, s.geometry.targetFps, a.seededStartBps.value_or(EngineSetupLimits::startBpsWithoutSeed), floor, cap_,
        *deps_.settings);
    a.bitrateController->plateau = a.wanLink;
    if (a.wanLink) locked.log("🪜 plateau: wspinaczka +8%/3s czysto, stabilizacja na poziomie udowodnionym (5s)");
    if (a.seededProvenBps > 0) {
      a.bitrateController->seedProven(a.seededProvenBps);
      locked.log("🪜 proven z pamięci łącza: " + std::to_string(a.seededProvenBps / 1000) + "k");
    }

    a.recvRateEwma = 0;
    a.lastSetBitrate = 0;
    a.kfOverEwma = 0;
    a.ovsWarmupTicks = 0;
    a.lastAppliedMaxQP = AdaptationState::defaultMaxQP;
    a.lastDataRateShort = -1;
    a.overshootEwma = 1.0;
    a.cloggedNow = false;
    a.burstEngaged = false;
    s.retransmit.rtxRefillPerSec = RetransmitState::defaultRefillPerSec;
    s.retransmit.rtxTokensMax = RetransmitState::defaultTokensMax;
    s.retransmit.rtxTokens = RetransmitState::defaultTokensMax;

    if (a.seedReliefPending) {
      seedRelief = true;
      a.seedReliefPending = false;
      const uint64_t now = nowUs();
      a.dupUntilUs = now + seedDupWindowUs;
      a.lossReliefUntilUs = now + seedReliefUs;
      a.slowRecoveryUntilUs = now + seedSlowRecoveryUs;
      a.lastAppliedMaxQP = AdaptationState::reliefMaxQP;
      a.lossReliefActive = true;
      if (tunables_.softReliefEnabled && a.seededProvenBps < softReliefBelowProvenBps) {
        s.geometry.softPermille = softReliefPermille;
        s.geometry.softSeedUntilUs = now + uint64_t(std::max(tunables_.softSeedSec, 0.0) * double(secondUs));
      }
    }
  }
  if (seedRelief) {
    enc->setMaxFrameQP(AdaptationState::reliefMaxQP);
    applyKeyframeToEncoder();
    log("🩹 relief strat ON od startu sesji: sufit QP→51 (seed pamięci łącza)");
  } else if (warmAdopted) {
    enc->setMaxFrameQP(AdaptationState::defaultMaxQP);
    applyKeyframeToEncoder();
  }
  armStartupKeyframeCap(warmAdopted);
  components_.linkEstimator->reset();
  components_.fluidityGovernor->reset();

  if (warmAdopted) {
    std::weak_ptr<HostSession> weak = weak_from_this();
    cap->setOnFrame([weak](const CaptureEngine::PixelBuffer& buffer, uint64_t captureTimestampUs) {
      if (auto self = weak.lock()) self->onCapturedFrame(buffer, captureTimestampUs);
    });
    log("♨️ SCK już działa (warm resume) — bez restartu przechwytywania");
  } else {
    startCapture(cap, displayID, startCaptureW > 0 ? startCaptureW : providedPxW,
                 startCaptureH > 0 ? startCaptureH : providedPxH);
  }
  {
    Locked locked(*this);
    if (closing(locked.state())) {
      // Closed while the capture started: teardown saw engines it may have stopped before they ran.
      locked.later([enc, cap] { stopEngines(enc, cap); });
      return;
    }
  }
  replayInitialFocus();
  bool reaperRuns;
  {
    Locked locked(*this);
    reaperRuns = locked->identity.reaperTimer.isArmed();
  }
  if (!reaperRuns) startReaper();
  sendInitialDeviceState();  // the first control messages: the stream buffer, then each device
}

void HostSession::armStartupKeyframeCap(bool warmAdopted) {
  std::shared_ptr<EncoderEngine> enc;
  {
    Locked locked(*this);
    bool pending = std::exchange(locked->keyframes.bootstrapMinQPPending, false);
    if (!pending || warmAdopted) return;
    locked->keyframes.bootstrapMinQPActive = true;
    enc = locked->engines.encoder;
  }
  if (enc && enc->hasCompressionSession()) enc->setMinFrameQP(startupMinQP);
  log("🎯 cap startowego keyframe'a: podłoga QP 38 do 1. feedbacku (WAN z pamięci łącza)");
  deps_.scheduler->after(startupCapBackstopUs, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<EncoderEngine> encoder;
    {
      Locked locked(*self);
      if (!std::exchange(locked->keyframes.bootstrapMinQPActive, false)) return;
      encoder = locked->engines.encoder;
    }
    if (encoder && encoder->hasCompressionSession()) encoder->setMinFrameQP(liftedMinQP);
    self->log("🎯 cap startowego keyframe'a zdjęty (backstop 3 s)");
  });
}

void HostSession::startCapture(const std::shared_ptr<CaptureEngine>& cap, uint32_t displayID, int64_t w, int64_t h) {
  const bool showsCursor = deps_.settings->getBool("tl.cursorVisible").value_or(false);
  int64_t fps;
  {
    Locked locked(*this);
    fps = locked->geometry.targetFps;
  }
  try {
    cap->start(displayID, w, h, fps, true, showsCursor);
    log("✅ przechwytywanie wystartowało (" + std::to_string(fps) + " fps)");
  } catch (const std::exception& error) {
    log(std::string("❌ capture start: ") + error.what());
  }
}


}  // namespace vela
