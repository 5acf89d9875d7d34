// How a session ends: the reaper, the one-time teardown with its link snapshot, the warm reserve
// (parking the engines of a client that vanished, handing them to its next session, or stopping them),
// close(), transport cancellation and destruction.
#include <string>
#include <utility>

#include "hostcore/engines/audio_tap_engine.hpp"
#include "hostcore/engines/capture_engine.hpp"
#include "hostcore/engines/encoder_engine.hpp"
#include "hostcore/engines/input_injector.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/session_threads.hpp"
#include "hostcore/session/session_time.hpp"

namespace vela {

namespace {

// The reaper's first tick comes this long after engine setup, then every period.
constexpr uint64_t reaperFirstUs = 15'000'000;
constexpr uint64_t reaperPeriodUs = 5'000'000;
// A client silent this long is gone; while it has put the video in the background it may stay quiet
// longer (the app is suspended but still wants the session).
constexpr uint64_t clientSilenceUs = 15'000'000;
constexpr uint64_t pausedSilenceUs = 180'000'000;
// Once the unreliable-input keepalive has been armed, a gap longer than this means the input flow died.
constexpr uint64_t keepaliveSilenceUs = 6'000'000;
// Loss seen within this window before the end still counts as "recent" for the next session's seed.
constexpr uint64_t recentLossWindowUs = 27'000'000;
// Teardown waits for the process-wide display gate at most this many polls of this length (15 s).
constexpr uint64_t gatePollUs = 100'000;
constexpr int gatePolls = 150;
// A display re-moded this often is re-created at the next disconnect: the capture path degrades on a
// display that changed mode many times.
constexpr int64_t reModeHealthLimit = 8;

void stopBundle(const WarmEngineBundle& bundle) {
  if (bundle.capture) bundle.capture->stop();
  if (bundle.encoder) bundle.encoder->invalidate();
}

}  // namespace

HostSession::~HostSession() {
  // No other thread reaches a session being destroyed: everything else holds it weakly.
  const auto& path = state_.path;
  // A refused session nobody holds ends right after its answer; the refusal's timer closes the
  // transport once the answer had its pause to leave.
  if (!path.transportCancelled && !state_.identity.donated && !state_.identity.refusalClosing)
    path.effectiveTransport()->close();
}

void HostSession::runTask(const char* name, std::function<void(HostSession&)> body) {
  startSessionThread(name, [self = shared_from_this(), body = std::move(body)] { body(*self); });
}

void HostSession::startReaper() {
  {
    Locked locked(*this);
    if (locked->identity.disconnected) return;
    locked->identity.lastClientPacketUs = nowUs();  // engines that just started count as activity
  }
  std::weak_ptr<HostSession> weak = weak_from_this();
  auto& scheduler = *deps_.scheduler;
  tavlo::ScopedTimer timer(scheduler, scheduler.every(
                                          reaperPeriodUs,
                                          [weak] {
                                            if (auto session = weak.lock()) session->reaperTick();
                                          },
                                          reaperFirstUs));
  Locked locked(*this);
  // A teardown that began meanwhile keeps no reaper: the timer is cancelled as it goes out of scope.
  if (!locked->identity.disconnected) locked->identity.reaperTimer = std::move(timer);
}

void HostSession::reaperTick() {
  uint64_t now = nowUs();
  bool paused;
  {
    Locked locked(*this);
    const auto& id = locked->identity;
    if (id.disconnected || id.lastClientPacketUs == 0) return;
    paused = locked->geometry.videoPaused;
    uint64_t silence = ageUs(now, id.lastClientPacketUs).value_or(0);
    if (silence > (paused ? pausedSilenceUs : clientSilenceUs)) {
      locked.log("⏱ żniwiarz: " + std::to_string(silence / 1'000'000) + " s bez pakietów od klienta" +
                 (paused ? " (tło)" : "") + " — zamykam sesję-zombie");
      locked.later([this] { runTask("vela.teardown", [](HostSession& s) { s.handleClientDisconnect(); }); });
    }
  }
  Locked locked(*this);
  auto& id = locked->identity;
  if (paused || !id.udpKeepaliveArmed || id.lastFlowBindUs == 0) return;
  uint64_t gap = ageUs(now, id.lastFlowBindUs).value_or(0);
  if (gap <= keepaliveSilenceUs) return;
  locked.log("🫀 keepalive UDP (" + std::to_string(deps_.listenerPorts.input) + ") milczy " +
             std::to_string(gap / 1'000'000) + "s przy żywej sesji — tor input martwy (rebind) → zrywam, reconnect");
  id.udpKeepaliveArmed = false;
  id.lastFlowBindUs = 0;
  id.flowBindStreak = 0;
  // Both checks may fire in one tick: the second teardown finds `disconnected` set and does nothing.
  locked.later([this] { runTask("vela.teardown", [](HostSession& s) { s.handleClientDisconnect(); }); });
}

void HostSession::sendLinkSnapshot() {
  std::optional<LinkSnapshot> snapshot;
  {
    Locked locked(*this);
    const auto& a = locked->adaptation;
    if (!locked->identity.linkDeviceKey || !a.bitrateController) return;
    uint64_t now = nowUs();
    snapshot = LinkSnapshot{*locked->identity.linkDeviceKey,
                            a.bitrateController->appliedBitrate(),
                            isBefore(now, a.lossObservedUntilUs, recentLossWindowUs),
                            a.wanLink,
                            a.bitrateController->provenRateBps(),
                            isBefore(now, a.reliefChronicUntilUs)};
  }
  if (auto cb = callbacks(); cb->onLinkSnapshot) cb->onLinkSnapshot(*snapshot);
}

bool HostSession::takeTeardownGate() {
  auto& gate = *deps_.displayGate;
  if (gate.tryTake()) return true;
  for (int poll = 0; poll < gatePolls; ++poll) {
    deps_.scheduler->sleepFor(gatePollUs);
    if (gate.tryTake()) return true;
  }
  log("⚠️ teardown: timeout bramy ekranu (15s) — pomijam");
  return false;
}

void HostSession::handleClientDisconnect() {
  {
    Locked locked(*this);
    if (locked->identity.disconnected) return;
    locked->identity.disconnected = true;
    locked->identity.reaperTimer.cancel();
  }
  detachAllSecondarySinks();  // no second path outlives the session it fed
  discardPendingWarmBundle();
  log("klient rozłączony — sprzątanie");
  sendLinkSnapshot();
  cancelTransportNow();

  bool park, hadDisplay;
  uint64_t displayClaim;
  std::shared_ptr<CaptureEngine> capture;
  std::shared_ptr<EncoderEngine> encoder;
  std::shared_ptr<AudioTapEngine> audioTap;
  {
    Locked locked(*this);
    auto& s = locked.state();
    capture = s.engines.capture;
    encoder = s.engines.encoder;
    audioTap = s.engines.audioTap;
    hadDisplay = s.engines.providedDisplay.has_value();
    displayClaim = s.engines.displayClaim;
    // Only a client that vanished (no bye) after it had a picture, and whose device can come back under
    // the same key, gets its engines kept running.
    park = !s.identity.sawBye && !s.warm.enginesSurrendered && s.identity.linkDeviceKey && s.send.configSent &&
           capture && !s.geometry.videoPaused;
    if (park) {
      s.warm.parkedWarm = true;
      s.geometry.videoPaused = true;
    }
  }
  auto disconnected = [this] {
    if (auto cb = callbacks(); cb->onDisconnect) cb->onDisconnect();
  };
  if (park) {
    if (audioTap) audioTap->stop();
    log("🅿️ ciepła rezerwa: SCK+enkoder zaparkowane (45 s na warm resume)");
    disconnected();
    return;
  }
  if (capture) capture->stop();
  if (audioTap) audioTap->stop();
  if (encoder) encoder->invalidate();
  // A session whose hello never obtained a display (refused at the gate, closed before its hello) has
  // nothing to give back: restoring or dropping the display then would pull it from under the session
  // that does stream it.
  if (!hadDisplay) {
    disconnected();
    return;
  }

  bool gateTaken = takeTeardownGate();
  DisplayGate& gate = *deps_.displayGate;
  // A newer session (a takeover, the same device reconnecting) claimed the display while this one was
  // ending: it streams from it now, main and with the physical displays off, so this teardown neither
  // restores them nor drops the display.
  if (!gate.answersTo(displayClaim)) {
    if (gateTaken) gate.release();
    log("🖥️ teardown: ekran przejęła nowsza sesja — zostawiam go bez zmian");
    disconnected();
    return;
  }
  // A failed restore (displays that stayed off) also reads false; the provider's destroy() then keeps
  // a display that is the only one left on, so the re-mode health rule cannot leave the desktop dark.
  bool restored = display_->restorePhysicalDisplays();
  bool renew = false;
  if (!restored) {
    int64_t count = display_->reModeCount();
    renew = count >= reModeHealthLimit;
    if (renew)
      log("♻️ odtwarzam wirtualny ekran przy rozłączeniu (re-mode " + std::to_string(count) + " ≥ " +
          std::to_string(reModeHealthLimit) + ") — profilaktyka degradacji SCK");
  }
  if (restored || renew) display_->destroy();
  gate.giveUpDisplay(displayClaim);
  if (gateTaken) gate.release();
  disconnected();
}

void HostSession::close() {
  components_.clip->reset();
  {
    Locked locked(*this);
    locked->identity.sawBye = true;  // the teardown that the ended stream triggers never parks
  }
  discardPendingWarmBundle();
  cancelTransportNow();
  std::shared_ptr<CaptureEngine> capture;
  std::shared_ptr<EncoderEngine> encoder;
  std::shared_ptr<AudioTapEngine> audioTap;
  {
    Locked locked(*this);
    auto& s = locked.state();
    s.warm.parkedWarm = false;
    if (s.warm.enginesSurrendered) return;  // they run for another session now
    capture = s.engines.capture;
    encoder = s.engines.encoder;
    audioTap = s.engines.audioTap;
  }
  if (capture) capture->stop();
  if (encoder) encoder->invalidate();
  if (audioTap) audioTap->stop();  // a parked session stopped it already; a running one has not
}

void HostSession::cancelTransportNow() {
  std::shared_ptr<SessionTransport> transport;
  std::shared_ptr<InputInjector> injector;
  bool donated;
  {
    Locked locked(*this);
    if (locked->path.transportCancelled) return;
    locked->path.transportCancelled = true;
    donated = locked->identity.donated;
    transport = locked->path.effectiveTransport();
    injector = locked->engines.injector;
  }
  if (injector) injector->releaseAll();  // no key or button stays pressed after the client
  if (!donated) transport->close();  // a donated transport belongs to another session now
}

std::optional<WarmEngineBundle> HostSession::surrenderEngines(int64_t helloW, int64_t helloH) {
  WarmEngineBundle bundle;
  {
    Locked locked(*this);
    auto& s = locked.state();
    const auto& w = s.warm;
    if (!w.parkedWarm || w.enginesSurrendered || !s.engines.capture || !s.engines.encoder || helloW != w.warmHelloW ||
        helloH != w.warmHelloH)
      return std::nullopt;
    s.warm.enginesSurrendered = true;
    bundle = WarmEngineBundle{std::exchange(s.engines.capture, nullptr), std::exchange(s.engines.encoder, nullptr),
                              w.warmPxW, w.warmPxH, w.warmFps, w.warmDisplayID};
  }
  // Frames go nowhere until the next session installs its own callback.
  bundle.capture->setOnFrame([](const CaptureEngine::PixelBuffer&, uint64_t) {});
  bundle.capture->setOnAudio(nullptr);
  return bundle;
}

std::optional<WarmEngineBundle> HostSession::takePendingWarmBundle() {
  Locked locked(*this);
  return std::exchange(locked->warm.pendingWarmBundle, std::nullopt);
}

void HostSession::setPendingWarmBundle(std::optional<WarmEngineBundle> bundle) {
  std::optional<WarmEngineBundle> replaced, refused;
  {
    Locked locked(*this);
    replaced = std::exchange(locked->warm.pendingWarmBundle, std::nullopt);
    // A session already torn down or closed will never take it: it goes the way of an unused one.
    if (locked->identity.disconnected || locked->path.transportCancelled)
      refused = std::move(bundle);
    else
      locked->warm.pendingWarmBundle = std::move(bundle);
  }
  if (replaced) stopUnusedBundle(*replaced);
  if (refused) stopUnusedBundle(*refused);
}

void HostSession::stopUnusedBundle(const WarmEngineBundle& bundle) {
  log("🅿️ bundle warm nieskonsumowany — zatrzymuję silniki");
  startSessionThread("vela.warm.stop", [bundle] { stopBundle(bundle); });
}

void HostSession::discardPendingWarmBundle() {
  if (auto bundle = takePendingWarmBundle()) stopUnusedBundle(*bundle);
}

}  // namespace vela
