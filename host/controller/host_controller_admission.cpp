// Admission of a client whose hello arrived (busy, locked screen, boomerang, automatic reconnect, warm
// resume, takeover), what acceptance switches on, and the lock-screen unlock flow.
#include <future>

#include "host/controller/host_controller.hpp"
#include "protocol/path_messages.hpp"

namespace tavlo {

namespace {

std::string shortKey(const std::string& key) { return key.substr(0, 8); }

}  // namespace

void HostController::approveTakeover(const std::string& devKey, bool userInitiated,
                                     std::shared_ptr<ControlledSession> newSession, AdmissionDone done) {
  if (hostLocked_ && !userInitiated && !newSession->clientSupportsUnlock()) {
    log("⛔ host zablokowany — odrzucam auto-HELLO klienta bez odblokowania (ręczne przechodzi)");
    done(false);
    return;
  }
  if (takeoverBusy_) {
    log("⛔ przejęcie w toku — odrzucam równoległe HELLO (busy)");
    done(false);
    return;
  }
  // From here every way out clears it: a second hello meanwhile is refused as busy.
  takeoverBusy_ = true;
  if (displayWorkInFlight_ > 0) {
    // The physical displays are still being switched back on: the client's display waits for them.
    log("🖥 ekrany fizyczne jeszcze wracają — przyjmę klienta, gdy skończą");
    std::weak_ptr<HostController> weak = weak_from_this();
    admissionAfterDisplayWork_ = [weak, devKey, userInitiated, newSession = std::move(newSession),
                                  done = std::move(done)]() mutable {
      auto self = weak.lock();
      if (!self) return;
      self->admitAfterChecks(devKey, userInitiated, std::move(newSession), std::move(done));
    };
    return;
  }
  admitAfterChecks(devKey, userInitiated, std::move(newSession), std::move(done));
}

void HostController::admitAfterChecks(const std::string& devKey, bool userInitiated,
                                      std::shared_ptr<ControlledSession> newSession, AdmissionDone done) {
  if (std::shared_ptr<ControlledSession> parked = std::exchange(parkedSession_, nullptr)) {
    std::optional<vela::WarmEngineBundle> bundle;
    // The key the parked session was admitted with: the session's own device key also names the
    // client's network interface, so it never equals the key of a new hello.
    if (std::exchange(parkedDeviceKey_, std::nullopt) == devKey) {
      bundle = parked->surrenderEngines(newSession->pendingHelloW(), newSession->pendingHelloH());
    }
    if (bundle) {
      newSession->setPendingWarmBundle(std::move(bundle));
      log("♨️ warm resume: ciepłe silniki → nowa sesja [" + shortKey(devKey) + "…]");
      // Closing the emptied session leaves the surrendered engines running; it need not hold admission.
      deps_.main.post([parked] { parked->close(); });
    } else {
      log("🅿️ park niekompatybilny — zatrzymuję zaparkowane silniki");
      parked->close();
    }
  }
  admitAfterWarmCheck(devKey, userInitiated, std::move(newSession), std::move(done));
}

void HostController::admitAfterWarmCheck(const std::string& devKey, bool userInitiated,
                                         std::shared_ptr<ControlledSession> newSession, AdmissionDone done) {
  if (!session_ || session_ == newSession) {
    accept(devKey, newSession);
    done(true);
    return;
  }
  const uint64_t now = deps_.scheduler.clock().nowUs();
  if (lastTakeoverAtUs_ && now - *lastTakeoverAtUs_ < boomerangWindowUs && displacedDeviceKey_ == devKey) {
    log("⛔ boomerang wypartego klienta <3s po przejęciu — odrzucam (anty-ping-pong)");
    takeoverBusy_ = false;
    done(false);
    return;
  }
  const bool sameDevice = connectedDeviceKey_ == devKey;
  if (!userInitiated && !sameDevice) {
    log("⛔ auto-reconnect innego urządzenia przy aktywnej sesji — odrzucam (busy)");
    takeoverBusy_ = false;
    done(false);
    return;
  }
  if (!sameDevice) {
    lastTakeoverAtUs_ = now;
    displacedDeviceKey_ = connectedDeviceKey_;
  }

  log("↻ nowy klient przejmuje — rozłączam poprzedniego (BYE, bez wznawiania)");
  std::shared_ptr<ControlledSession> old = session_;
  old->sendBye();
  setSession(nullptr);
  // The pause lets the goodbye leave before the transport goes; the old session is not parked.
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  auto resume = [weak, old, devKey, newSession, done = std::move(done)]() mutable {
    old->cancelTransportNow();
    old->close();
    auto self = weak.lock();
    if (!self) {
      done(false);
      return;
    }
    self->accept(devKey, newSession);
    done(true);
  };
  auto id = deps_.scheduler.after(takeoverPauseUs, [main, resume = std::move(resume)]() mutable {
    main->post(std::move(resume));
  });
  takeoverPauseTimer_ = ScopedTimer(deps_.scheduler, id);
}

void HostController::accept(const std::string& devKey, const std::shared_ptr<ControlledSession>& newSession) {
  const HostControllerSeams& seams = deps_.seams;
  connectedDeviceKey_ = devKey;
  // A client is back: the port mapping stays.
  natReleaseTimer_.cancel();
  setSession(newSession);
  clientConnected.set(true);
  status.set("Client connected");
  newSession->sendForcePath(vela::ForcePath::codeForSetting(clientForcePath.get()));
  if (seams.engageDefaultInput) seams.engageDefaultInput();
  if (seams.declareUserActivity) seams.declareUserActivity();
  if (seams.startTextFocusWatching) seams.startTextFocusWatching();
  if (!releaseDisplaySleep_ && seams.preventDisplaySleep) {
    releaseDisplaySleep_ = seams.preventDisplaySleep();
    if (releaseDisplaySleep_) log("☕️ asercja zasilania WŁĄCZONA (ekrany hosta nie usną z bezczynności)");
  }

  std::optional<HostControllerSeams::FocusInfo> focus;
  if (seams.lastTextFocus) focus = seams.lastTextFocus();
  const bool isText = focus && focus->isText;
  newSession->sendTextFocus(isText, focus ? focus->frame : std::nullopt);
  log(std::string("⌨️ stan początkowy fokusu → TEXT_FOCUS(") + (isText ? "on" : "off") + ") przy akcepcie");

  std::weak_ptr<HostController> weakController = weak_from_this();
  std::weak_ptr<ControlledSession> weakSession = newSession;
  MainExecutor* main = &deps_.main;
  newSession->updateCallbacks([main, weakController, weakSession](vela::SessionCallbacks& c) {
    c.onLoginReceived = [main, weakController, weakSession] {
      onMain(*main, weakController, [weakSession](HostController& self) { self.loginReceived(weakSession); });
    };
  });
  if (hostLocked_) newSession->sendLockState(true, newSession->isTransportEncrypted());
  takeoverBusy_ = false;
}

bool HostController::takeoverGate(std::weak_ptr<HostController> controller, std::weak_ptr<ControlledSession> session,
                                  const std::string& devKey, bool userInitiated) {
  auto self = controller.lock();
  if (!self || !session.lock()) return false;
  MainExecutor& main = self->deps_.main;
  // Waiting on the executor's own thread would never end.
  if (main.isCurrent()) return false;
  self.reset();  // the wait must not keep the controller alive

  auto answer = std::make_shared<std::promise<bool>>();
  std::future<bool> decision = answer->get_future();
  const bool posted = main.post([controller, session, devKey, userInitiated, answer] {
    auto self = controller.lock();
    auto newSession = session.lock();
    if (!self || !newSession) {
      answer->set_value(false);
      return;
    }
    self->approveTakeover(devKey, userInitiated, std::move(newSession),
                          [answer](bool admitted) { answer->set_value(admitted); });
  });
  if (!posted) return false;
  try {
    // A decision dropped unanswered (the controller or its executor went away) breaks the promise.
    return decision.get();
  } catch (const std::future_error&) {
    return false;
  }
}

void HostController::loginReceived(const std::weak_ptr<ControlledSession>& weakSession) {
  auto session = weakSession.lock();
  if (!session) return;
  const HostControllerSeams& seams = deps_.seams;
  if (!(seams.isScreenLocked && seams.isScreenLocked())) {
    log("🔓 hasło odebrane, ale ekran NIE zablokowany — tylko zapamiętuję, nic nie wpisuję");
    return;
  }
  if (!session->attemptUnlock()) return;
  unlockVerifyPending_ = true;
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  auto id = deps_.scheduler.after(unlockVerifyUs, [main, weak] {
    onMain(*main, weak, [](HostController& self) { self.verifyUnlock(); });
  });
  unlockVerifyTimer_ = ScopedTimer(deps_.scheduler, id);
}

void HostController::verifyUnlock() {
  // The unlocked screen's report clears the flag first when the password went through; no retry.
  if (!unlockVerifyPending_) return;
  unlockVerifyPending_ = false;
  log("🔓❌ NIE odblokowano w 3 s — mur loginwindow albo złe hasło; BEZ retry");
  if (session_) session_->sendLockState(true, true);
}

}  // namespace tavlo
