// Display mode, scale and reconfiguration: the owner's scale, 1x and frame-rate changes, the display
// brought to the mode a base size and scale need (re-moded in place or re-created), the encoder and
// bitrate controller rebuilt for a new coded size, and a display re-created after a long client pause.
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "hostcore/engines/capture_engine.hpp"
#include "hostcore/engines/encoder_engine.hpp"
#include "hostcore/engines/input_injector.hpp"
#include "hostcore/session/capture_size.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/keyframe_policy.hpp"
#include "hostcore/session/session_clamps.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

// Scale changes are debounced: changes within this window cost one mode change, with the newest scale.
constexpr uint64_t scaleDebounceUs = 120'000;
// The client keeps its last frame this long across a display change.
constexpr uint16_t transitionHoldMs = 1200;
// A pause up to this long only restarts capture; a longer one re-creates the display (the window
// server's compositor may have frozen the old one meanwhile).
constexpr uint64_t briefPauseUs = 1'000'001;
// A new encoder starts at this rate when there is no controller to ask.
constexpr int64_t rebuildStartBps = 12'000'000;
// The user's wire cap in kbit/s; below the minimum there is none.
constexpr const char* wireCapKey = "tl.wireCapKbps";
constexpr int64_t minWireCapKbps = 100;

std::string twoDecimals(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

int64_t scaledSide(double scale, int64_t base) {
  return tavlo::truncateSaturating<int64_t>(scale * static_cast<double>(base));
}

// The encoder's bitrate floor for a coded size: what keeps a picture at the keyframe interval in force.
int64_t encoderFloorBps(int64_t pw, int64_t ph, double keyframeSec) {
  const double px = static_cast<double>(pw) * static_cast<double>(ph);
  const double floor = 0.8 * (px * 0.0073 * 60 + px * 0.2 / std::max(keyframeSec, 0.1));
  return std::clamp<int64_t>(tavlo::truncateSaturating<int64_t>(floor), 800'000, 2'500'000);
}

std::optional<int64_t> wireCapBps(const tavlo::Settings& settings) {
  int64_t kbps = settings.getInt(wireCapKey).value_or(0);
  if (kbps < minWireCapKbps) return std::nullopt;
  return tavlo::saturatingMul(kbps, 1000);
}

}  // namespace

std::shared_ptr<EncoderEngine> HostSession::makeStreamEncoder(int64_t pw, int64_t ph, int64_t fps, int64_t bitrate,
                                                               double keyframeSec) {
  std::weak_ptr<HostSession> weak = weak_from_this();
  // The same output handler, log and statistics as engine setup gives its encoder, for the new size.
  auto encoder = deps_.engines->makeEncoderEngine(pw, ph, fps, bitrate, keyframeSec,
                                                  [weak, pointsW = pw / 2, pointsH = ph / 2](const EncodedFrame& frame) {
                                                    if (auto self = weak.lock()) self->handleEncoded(frame, pointsW, pointsH);
                                                  });
  std::shared_ptr<CaptureEngine> capture;
  {
    Locked locked(*this);
    capture = locked->engines.capture;
  }
  if (capture) {
    wireEngines(encoder, capture, pw, ph);
  } else {
    encoder->setOnLog([weak](const std::string& line) {
      if (auto self = weak.lock()) self->log(line);
    });
  }
  return encoder;
}

void HostSession::restartCapture(const std::shared_ptr<CaptureEngine>& capture, std::optional<uint32_t> displayID) {
  if (!capture) return;
  // A session torn down or closed (and not parked) has stopped its capture: a restart would start it
  // again with nobody to stop it, so none starts, and one that raced the teardown is stopped again.
  auto mayRun = [&] {
    Locked locked(*this);
    const auto& s = locked.state();
    return s.engines.capture == capture && !(s.path.transportCancelled && !s.warm.parkedWarm);
  };
  if (!mayRun()) return;
  capture->restart(displayID);
  if (!mayRun()) capture->stop();
}

double HostSession::currentScale() const {
  Locked locked(*this);
  return locked->geometry.scaleS;
}

int64_t HostSession::streamPixelWidth() const {
  Locked locked(*this);
  const auto& provided = locked->engines.providedDisplay;
  return provided ? provided->pixelWidth : 0;
}

std::pair<int64_t, int64_t> HostSession::realDisplayPoints(uint32_t displayID, int64_t fallbackW,
                                                            int64_t fallbackH) const {
  if (auto& system = deps_.windowSystem) {
    if (auto mode = system->currentMode(displayID); mode && mode->width >= 2 && mode->height >= 2)
      return {mode->width, mode->height};
    if (auto bounds = system->bounds(displayID); bounds && bounds->width > 1 && bounds->height > 1)
      return {bounds->width, bounds->height};
  }
  return {fallbackW, fallbackH};
}

std::optional<DisplayGateLease> HostSession::takeDisplayGate(const std::string& who) {
  std::weak_ptr<HostSession> weak = weak_from_this();
  return DisplayGateLease::acquire(
      *deps_.displayGate, who, false,
      DisplayGateLease::Waiting{deps_.scheduler->clock(),
                                [this] {
                                  Locked locked(*this);
                                  return locked->identity.disconnected;
                                },
                                [this](const std::string& line) { log(line); }});
}

void HostSession::setScale(double scale) {
  bool reconfigureInstead = false, start = false;
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    g.scaleS = clampedScale(scale);
    if (g.baseW < 1) return;
    if (mirror_ || g.force1xActive) {
      reconfigureInstead = true;  // the coded size depends on the scale
    } else {
      start = !g.remodeInFlight;
      g.remodeInFlight = true;
    }
  }
  if (reconfigureInstead) scheduleReconfigure();
  if (start) scheduleLogicalRemode();
}

void HostSession::scheduleLogicalRemode() {
  std::weak_ptr<HostSession> weak = weak_from_this();
  deps_.scheduler->after(scaleDebounceUs, [weak] {
    if (auto session = weak.lock()) session->runTask("vela.remode", [](HostSession& s) { s.applyLatestScale(); });
  });
}

void HostSession::applyLatestScale() {
  int64_t bw, bh;
  double scale;
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    g.remodeInFlight = false;
    bw = g.baseW;
    bh = g.baseH;
    scale = g.scaleS;
    if (bw < 1) return;
    locked.sendControl(TransitionHintMessage{transitionHoldMs});
  }
  if (auto lease = takeDisplayGate("ensureDisplayMode")) ensureDisplayModeGated(bw, bh, scale);

  std::shared_ptr<CaptureEngine> capture;
  std::shared_ptr<InputInjector> injector;
  std::optional<ProvidedDisplay> provided;
  std::pair<int64_t, int64_t> captureSize;
  int64_t fps;
  {
    Locked locked(*this);
    capture = locked->engines.capture;
    injector = locked->engines.injector;
    provided = locked->engines.providedDisplay;
    captureSize = captureSizeForMode(locked->geometry, mirror_);
    fps = locked->geometry.targetFps;
  }
  if (capture) capture->updateSize(captureSize.first, captureSize.second, fps);
  std::pair<int64_t, int64_t> points{scaledSide(scale, bw) / 2, scaledSide(scale, bh) / 2};
  if (provided) {
    points = realDisplayPoints(provided->displayID, points.first, points.second);
    if (injector) injector->setDisplay(provided->displayID, points.first, points.second);
  }
  Locked locked(*this);
  locked->keyframes.forceKeyframeNext = true;
  locked.log("skala logiczna ×" + twoDecimals(scale) + " → punkty " + std::to_string(points.first) + "×" +
             std::to_string(points.second) + ", capture " + std::to_string(locked->geometry.currentPw) + "×" +
             std::to_string(locked->geometry.currentPh));
}

void HostSession::ensureDisplayModeGated(int64_t bw, int64_t bh, double scale) {
  const int64_t pw = scaledSide(scale, bw), ph = scaledSide(scale, bh);
  if (display_->modeRequiresRecreate(pw, ph, bw, bh)) {
    log("🖥️ przejście HiDPI↔1x wymaga nowego deskryptora → odtwarzam wirtualny ekran");
  } else if (display_->applyMode(pw, ph, bw, bh)) {
    return;
  } else {
    log("⚠️ tryb w miejscu odrzucony/podstawiony przez WindowServer → odtwarzam ekran pod tryb docelowy");
  }
  auto made = display_->recreateForMode(pw, ph, bw, bh);
  if (!made) {
    log("❌ recreate: nie istnieje ŻADEN ekran — sesja wymaga reconnectu");
    return;
  }
  if (setAsMain_) display_->setAsMainDisplay();
  if (isolateDisplays_) {
    display_->isolatePhysicalDisplays();
    armIsolationGate();
  }
  std::shared_ptr<CaptureEngine> capture;
  std::shared_ptr<InputInjector> injector;
  {
    Locked locked(*this);
    if (auto& provided = locked->engines.providedDisplay) provided->displayID = made->displayID;
    locked->keyframes.forceKeyframeNext = true;
    capture = locked->engines.capture;
    injector = locked->engines.injector;
  }
  auto points = realDisplayPoints(made->displayID, pw / 2, ph / 2);
  if (injector) injector->setDisplay(made->displayID, points.first, points.second);
  restartCapture(capture, made->displayID);
  log("♻️ ekran odtworzony pod tryb " + std::to_string(points.first) + "×" + std::to_string(points.second) +
      " pt (displayID " + std::to_string(made->displayID) + ")");
}

void HostSession::setForce1x(bool on) {
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    bool changed = g.force1xActive != on;
    g.force1xActive = on;
    if (!changed || g.baseW < 1 || mirror_) return;
  }
  scheduleReconfigure();
}

void HostSession::setTargetFps(int64_t fps) {
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    int64_t clamped = clampedTargetFps(fps);
    if (clamped == g.targetFps) return;
    g.targetFps = clamped;
    g.fpsDirty = true;  // the encoder is rebuilt even when the size stays
    if (g.baseW < 1) return;
  }
  scheduleReconfigure();
}

void HostSession::reconfigure(int64_t pw, int64_t ph) {
  std::optional<ProvidedDisplay> provided;
  double scale;
  int64_t bw, bh;
  std::shared_ptr<EncoderEngine> old;
  {
    Locked locked(*this);
    provided = locked->engines.providedDisplay;
    if (!provided) return;
    scale = locked->geometry.scaleS;
    bw = locked->geometry.baseW;
    bh = locked->geometry.baseH;
    locked.log("resize → capture " + std::to_string(pw) + "×" + std::to_string(ph));
    // From here frames find no encoder until the new one is installed.
    old = std::exchange(locked->engines.encoder, nullptr);
  }
  if (old) old->invalidate();

  std::shared_ptr<CaptureEngine> capture;
  std::pair<int64_t, int64_t> captureSize{pw, ph};
  int64_t fps;
  if (!mirror_) {
    // Refused (the session is ending, or 15 s of another session's display work): capture and encoder
    // still follow the new size on the display as it is.
    if (auto lease = takeDisplayGate("ensureDisplayMode")) ensureDisplayModeGated(bw, bh, scale);
  }
  {
    Locked locked(*this);
    capture = locked->engines.capture;
    fps = locked->geometry.targetFps;
    if (!mirror_) {
      GeometryState next = locked->geometry;
      next.currentPw = pw;
      next.currentPh = ph;
      captureSize = captureSizeForMode(next, false);
    }
  }
  if (capture) capture->updateSize(captureSize.first, captureSize.second, fps);

  uint32_t displayID = provided->displayID;
  std::shared_ptr<InputInjector> injector;
  double interval;
  {
    Locked locked(*this);
    if (locked->engines.providedDisplay) displayID = locked->engines.providedDisplay->displayID;
    injector = locked->engines.injector;
    interval = keyframeIntervalInForce(locked->keyframes);
  }
  auto points = mirror_ ? std::pair<int64_t, int64_t>{0, 0}
                        : realDisplayPoints(displayID, scaledSide(scale, bw) / 2, scaledSide(scale, bh) / 2);
  if (injector) injector->setDisplay(displayID, points.first, points.second);

  auto encoder = makeStreamEncoder(pw, ph, fps, rebuildStartBps, interval);
  const auto cap = wireCapBps(*deps_.settings);
  bool ended;
  {
    Locked locked(*this);
    auto& s = locked.state();
    // Torn down or closed meanwhile: nothing may outlive the session, least of all a new encoder.
    ended = s.identity.disconnected || s.path.transportCancelled;
    if (!ended) {
      s.identity.generation = static_cast<uint16_t>(s.identity.generation + 1);
      s.send.configSent = false;
      s.geometry.fpsDirty = false;
      auto& k = s.keyframes;
      k.ltrPendingRefresh = false;
      k.ltrHaveAcked = false;
      k.ltrAckedVTTokens.clear();
      k.ltrWireToVT.clear();
      k.ltrNextWire = 0;
      k.forceKeyframeNext = true;
      ++k.kfEpoch;
      s.geometry.currentPw = pw;
      s.geometry.currentPh = ph;
      s.engines.providedDisplay = ProvidedDisplay{displayID, pw, ph};
      s.engines.encoder = encoder;
      auto& w = s.warm;
      w.warmPxW = pw;
      w.warmPxH = ph;
      w.warmFps = s.geometry.targetFps;
      w.warmDisplayID = displayID;
      if (auto window = s.geometry.lastResizeWindowPx) std::tie(w.warmHelloW, w.warmHelloH) = *window;

      auto& a = s.adaptation;
      int64_t start = a.bitrateController ? a.bitrateController->appliedBitrate() : rebuildStartBps;
      int64_t proven = a.bitrateController ? a.bitrateController->provenRateBps() : 0;
      double floorInterval = keyframeIntervalInForce(k);
      a.bitrateController = std::make_unique<BitrateController>(
          pw, ph, s.geometry.targetFps, start, encoderFloorBps(pw, ph, floorInterval), cap, *deps_.settings);
      a.bitrateController->plateau = a.wanLink;
      if (proven >= 1) a.bitrateController->seedProven(proven);
      a.lastSetBitrate = 0;
      a.lastAppliedMaxQP = AdaptationState::defaultMaxQP;
      a.lastDataRateShort = -1;
      a.overshootEwma = 1.0;
      a.ovsWarmupTicks = 0;
      locked.log("✅ rekonfiguracja gen " + std::to_string(s.identity.generation) + ": " + std::to_string(pw) + "×" +
                 std::to_string(ph));
    }
  }
  if (ended && encoder) encoder->invalidate();
}

void HostSession::applyClientState(const ClientStateMessage& message) {
  bool resumed = false;
  uint64_t awayUs = 0;
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    bool paused = message.state != ClientStateMessage::State::foreground;
    bool wasPaused = std::exchange(g.videoPaused, paused);
    locked->media.audioEnabled = message.audioEnabled;
    uint64_t now = nowUs();
    if (paused && !wasPaused) g.videoPausedAtUs = now;
    if (!paused && wasPaused) {
      awayUs = now > g.videoPausedAtUs ? now - g.videoPausedAtUs : 0;
      locked->keyframes.forceKeyframeNext = true;
      resumed = true;
    }
    static constexpr const char* names[] = {"foreground", "background", "occluded"};
    locked.log(std::string("stan klienta: ") + names[static_cast<int>(message.state)] +
               " audio=" + (message.audioEnabled ? "true" : "false") + " → wideo " + (paused ? "PAUZA" : "gra") + " (" +
               std::to_string(awayUs / 1000) + "ms tła)");
  }
  if (!resumed) return;
  runTask("vela.resume", [awayUs](HostSession& s) {
    if (awayUs < briefPauseUs) {
      std::shared_ptr<CaptureEngine> capture;
      {
        Locked locked(s);
        capture = locked->engines.capture;
      }
      s.restartCapture(capture, std::nullopt);
    } else {
      s.rebindDisplayFresh();
    }
  });
}

void HostSession::rebindDisplayFresh() {
  if (mirror_) return;
  auto lease = takeDisplayGate("rebindDisplayFresh");
  if (!lease) return;
  double scale;
  int64_t bw, bh;
  {
    Locked locked(*this);
    scale = locked->geometry.scaleS;
    bw = locked->geometry.baseW;
    bh = locked->geometry.baseH;
  }
  display_->destroy();
  auto made = display_->createDisplay(bw, bh);
  if (!made) {
    log("❌ nie udało się odtworzyć wirtualnego ekranu przy wznowieniu");
    return;
  }
  if (setAsMain_) display_->setAsMainDisplay();
  const int64_t pw = scaledSide(scale, bw), ph = scaledSide(scale, bh);
  uint32_t displayID = made->displayID;
  std::optional<ProvidedDisplay> recreated;
  if (display_->modeRequiresRecreate(pw, ph, bw, bh)) recreated = display_->recreateForMode(pw, ph, bw, bh);
  if (recreated) {
    displayID = recreated->displayID;
    if (setAsMain_) display_->setAsMainDisplay();
  } else {
    display_->applyMode(pw, ph, bw, bh);
  }
  if (isolateDisplays_) {
    display_->isolatePhysicalDisplays();
    armIsolationGate();
  }
  std::shared_ptr<CaptureEngine> capture;
  std::shared_ptr<InputInjector> injector;
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    // The provided display keeps the coded stream size: the video configuration and the controller
    // are sized from it, and the stream did not change size.
    bool coded = g.currentPw > 0 && g.currentPh > 0;
    locked->engines.providedDisplay = ProvidedDisplay{displayID, coded ? g.currentPw : bw, coded ? g.currentPh : bh};
    locked->keyframes.forceKeyframeNext = true;
    capture = locked->engines.capture;
    injector = locked->engines.injector;
  }
  auto points = realDisplayPoints(displayID, pw / 2, ph / 2);
  if (injector) injector->setDisplay(displayID, points.first, points.second);
  restartCapture(capture, displayID);
  log("♻️ wirtualny ekran ODTWORZONY przy wznowieniu (odmrożenie kompozytora, displayID " + std::to_string(displayID) +
      ")");
}

void HostSession::setCursorVisible(bool visible) {
  runTask("vela.cursor", [visible](HostSession& s) {
    std::shared_ptr<CaptureEngine> capture;
    {
      Locked locked(s);
      capture = locked->engines.capture;
    }
    if (capture) capture->setShowsCursor(visible);
  });
}

bool HostSession::sendCursorImage(uint32_t cursorId, const Bytes& bgra, int64_t width, int64_t height,
                                  int64_t hotspotX, int64_t hotspotY, int64_t scale, CursorShape shape) {
  auto fitsU16 = [](int64_t v) { return v >= 0 && v <= 0xFFFF; };
  // A caller outside the fields' ranges (or with too few bytes for the size) is refused rather than
  // truncated into a picture the client would misdraw.
  if (!fitsU16(width) || !fitsU16(height) || !fitsU16(hotspotX) || !fitsU16(hotspotY) || scale < 0 || scale > 0xFF ||
      static_cast<uint64_t>(bgra.size()) != static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4)
    return false;
  Locked locked(*this);
  if (locked->identity.sessionId == 0) return false;  // not before the hello is accepted
  CursorImage image;
  image.cursorId = cursorId;
  image.hotspotX = static_cast<uint16_t>(hotspotX);
  image.hotspotY = static_cast<uint16_t>(hotspotY);
  image.pxW = static_cast<uint16_t>(width);
  image.pxH = static_cast<uint16_t>(height);
  image.scale = static_cast<uint8_t>(scale);
  image.data = bgra;
  image.shape = shape;
  locked.sendControl(image);
  return true;
}

}  // namespace vela
