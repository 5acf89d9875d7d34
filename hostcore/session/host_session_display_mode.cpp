// Display mode and scale: the owner's scale, 1x and frame-rate changes, the display brought to the mode
// a base size and scale need (re-moded in place or re-created), and a display re-created after a long
// client pause. The rebuild for a new coded size is in host_session_reconfigure.cpp, the cursor in
// host_session_cursor.cpp.
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

std::string twoDecimals(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

int64_t scaledSide(double scale, int64_t base) {
  return tavlo::truncateSaturating<int64_t>(scale * static_cast<double>(base));
}

}  // namespace

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

void HostSession::noteDisplayPixels(uint32_t displayID, int64_t askedW, int64_t askedH) {
  std::pair<int64_t, int64_t> pixels{askedW, askedH};
  if (auto& system = deps_.windowSystem) {
    if (auto mode = system->currentMode(displayID); mode && mode->pixelWidth >= 2 && mode->pixelHeight >= 2)
      pixels = {mode->pixelWidth, mode->pixelHeight};
  }
  Locked locked(*this);
  locked->geometry.displayPixelW = pixels.first;
  locked->geometry.displayPixelH = pixels.second;
}

std::optional<DisplayGateLease> HostSession::takeDisplayGate(const std::string& who) {
  auto lease = DisplayGateLease::acquire(
      *deps_.displayGate, who, false,
      DisplayGateLease::Waiting{deps_.scheduler->clock(),
                                [this] {
                                  Locked locked(*this);
                                  return locked->identity.disconnected;
                                },
                                [this](const std::string& line) { log(line); }});
  if (!lease) return std::nullopt;
  uint64_t claim;
  {
    Locked locked(*this);
    claim = locked->engines.displayClaim;
  }
  // A session displaced by a newer one (its goodbye is on the way, its teardown has not begun) would
  // re-mode or re-create the display the newer session streams from.
  if (!deps_.displayGate->answersTo(claim)) {
    lease->release();
    log("⚠️ " + who + ": ekran przejęła nowsza sesja — pomijam operację ekranową");
    return std::nullopt;
  }
  return lease;
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

void HostSession::endOnLostDisplay() {
  // The display the session streamed from was released and none replaced it: capturing or injecting
  // on its id would reach nothing (or another owner's display). The session ends so the client
  // reconnects to a fresh one; the teardown runs on its own thread, after the caller's gate lease.
  {
    Locked locked(*this);
    locked->engines.providedDisplay.reset();
  }
  runTask("vela.teardown", [](HostSession& s) { s.handleClientDisconnect(); });
}

void HostSession::ensureDisplayModeGated(int64_t bw, int64_t bh, double scale) {
  const int64_t pw = scaledSide(scale, bw), ph = scaledSide(scale, bh);
  if (display_->modeRequiresRecreate(pw, ph, bw, bh)) {
    log("🖥️ przejście HiDPI↔1x wymaga nowego deskryptora → odtwarzam wirtualny ekran");
  } else if (display_->applyMode(pw, ph, bw, bh)) {
    std::optional<uint32_t> displayID;
    {
      Locked locked(*this);
      if (auto& provided = locked->engines.providedDisplay) displayID = provided->displayID;
    }
    if (displayID) noteDisplayPixels(*displayID, pw, ph);
    return;
  } else {
    log("⚠️ tryb w miejscu odrzucony/podstawiony przez WindowServer → odtwarzam ekran pod tryb docelowy");
  }
  auto made = display_->recreateForMode(pw, ph, bw, bh);
  if (!made) {
    log("❌ recreate: nie istnieje ŻADEN ekran — sesja wymaga reconnectu");
    endOnLostDisplay();
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
  noteDisplayPixels(made->displayID, pw, ph);
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
    endOnLostDisplay();
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

}  // namespace vela
