#include "host/controller/host_controller.hpp"

#include <utility>

#include <csignal>
#include <stdexcept>

namespace tavlo {

std::shared_ptr<HostController> HostController::create(Dependencies dependencies) {
  if (!dependencies.identity) throw std::invalid_argument("HostController needs the host identity");
  if (!dependencies.exit) throw std::invalid_argument("HostController needs a way to end the application");
  return std::make_shared<HostController>(Private{}, std::move(dependencies));
}

HostController::HostController(Private, Dependencies dependencies)
    : deps_(std::move(dependencies)),
      fileLog_(deps_.logFilePath),
      instanceLock_(deps_.instanceLockPath, deps_.ownStartTicks),
      localSubnets_(deps_.scheduler.clock(), deps_.listLocalSubnets) {
  const ControllerSettings s = ControllerSettings::read(deps_.settings);
  scale.set(s.scale);
  kfAdaptive.set(s.kfAdaptive);
  kfFixedSec.set(s.kfFixedSec);
  force1x.set(s.force1x);
  cursorVisible.set(s.cursorVisible);
  bufferMs.set(s.bufferMs);
  maxBandwidthKbps.set(s.maxBandwidthKbps);
  hqDownscale.set(s.hqDownscale);
  allowLAN.set(s.allowLAN);
  allowRelay.set(s.allowRelay);
  clientForcePath.set(s.clientForcePath);
  mbbEnabled.set(s.mbbEnabled);
  useNATPMP.set(s.useNATPMP);
  useUPnP.set(s.useUPnP);
  allowVPN.set(s.allowVPN);
  allowNAT.set(s.allowNAT);
  natOnDemand_ = s.natOnDemand;
  scaleUpShortcut.set(s.scaleUpShortcut);
  scaleDownShortcut.set(s.scaleDownShortcut);
  diagShortcut.set(s.diagShortcut);
}

HostController::~HostController() {
  signalWatcher_.reset();
  if (stopScreenWatch_) stopScreenWatch_();
  if (acceptLoop_) acceptLoop_->stop();
  if (stopProbeResponder_) stopProbeResponder_();
  if (stopBonjour_) stopBonjour_();
}

void HostController::start() {
  if (started_) return;
  started_ = true;
  // A write to a socket the peer closed must fail with an error, not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  if (!anotherInstanceIsOlder()) {
    bootstrap();
  } else if (deps_.launchedByService && deps_.launchedByService()) {
    log("⏸ starsza instancja hosta (ręczna) działa — jako usługa systemd czekam w tle i przejmę hosta po jej "
        "zakończeniu");
    standby.set(true);
    pollStandby();
  } else {
    log("🚫 druga instancja hosta już działa (starsza) — kończę, żeby nie zajmować drugiego bloku portów");
    exiting_ = true;
    deps_.exit(HostExit::secondInstance);
  }
}

bool HostController::anotherInstanceIsOlder() {
  const bool older = instanceLock_.anotherInstanceIsOlder();
  // Running without the single-instance guard is allowed, never silent.
  if (auto problem = instanceLock_.takeProblem()) {
    log("⚠️ blokada instancji niedostępna (" + *problem + ") — działam bez niej");
  }
  return older;
}

void HostController::pollStandby() {
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  auto id = deps_.scheduler.after(standbyPollUs, [weak, main] {
    main->post([weak] {
      auto self = weak.lock();
      if (!self) return;
      if (self->anotherInstanceIsOlder()) {
        self->pollStandby();
        return;
      }
      self->log("▶️ starsza instancja zakończona — przejmuję hosta jako usługa systemd");
      self->standby.set(false);
      self->bootstrap();
    });
  });
  standbyTimer_ = ScopedTimer(deps_.scheduler, id);
}

void HostController::bootstrap() {
  if (bootstrapped_) return;
  bootstrapped_ = true;
  const HostControllerSeams& seams = deps_.seams;
  // Listening goes on meanwhile; a client's admission waits until the displays are back.
  if (seams.recoverDisplayIsolation) displayWork(seams.recoverDisplayIsolation);
  if (!seams.reconcileAutostart) {
    finishBootstrap(false);
    return;
  }
  std::weak_ptr<HostController> weak = weak_from_this();
  seams.reconcileAutostart(logSink(), [weak](bool handOver) {
    if (auto self = weak.lock()) self->finishBootstrap(handOver);
  });
}

void HostController::finishBootstrap(bool handOver) {
  const HostControllerSeams& seams = deps_.seams;
  if (handOver) {
    log("🚀 przekazuję hosta instancji usługi systemd — kończę tę (ręczną) instancję");
    exiting_ = true;
    deps_.exit(HostExit::handedOverToService);
    return;
  }
  // Only the instance that holds the lock runs the host: one that waits, quits or runs without the
  // lock never removes what the running one received.
  if (instanceLock_.holds() && seams.clipboard.removeLeftovers) seams.clipboard.removeLeftovers(logSink());
  if (seams.startUpdates) {
    std::weak_ptr<HostController> weak = weak_from_this();
    HostControllerSeams::UpdateHooks hooks{
        .noSession = [weak] {
          auto self = weak.lock();
          return self && !self->session_;
        },
        .publishStatus = [weak](const std::string& text) {
          if (auto self = weak.lock()) self->updateStatus.set(text);
        }};
    seams.startUpdates(logSink(), std::move(hooks));
  }
  if (seams.prewarmCapture) seams.prewarmCapture();
  startListening();
  installSignalHandlers();
  // From here a normal end of the application puts the displays back (applicationWillTerminate).
  willTerminateArmed_ = true;
}

void HostController::watchScreen() {
  if (!deps_.seams.watchScreen || stopScreenWatch_) return;
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  auto reach = [main, weak](void (HostController::*step)()) {
    return [main, weak, step] { onMain(*main, weak, [step](HostController& self) { (self.*step)(); }); };
  };
  stopScreenWatch_ = deps_.seams.watchScreen(
      {reach(&HostController::screenLocked), reach(&HostController::screenUnlocked),
       reach(&HostController::screensAsleep), reach(&HostController::checkLockedAtStart)},
      logSink());
}

void HostController::installSignalHandlers() {
  if (!deps_.handleSignals || signalWatcher_) return;
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  try {
    // The watcher's thread only posts: the handler runs on the main executor between other jobs.
    // The second signal is for a quit that hangs: it ends the process from the watcher's own thread.
    signalWatcher_ = std::make_unique<SignalWatcher>(
        std::vector<int>{SIGTERM, SIGINT},
        [weak, main, exitAtOnce = deps_.exitAtOnce, delivered = 0](int) mutable {
          if (++delivered > 1 && exitAtOnce) {
            exitAtOnce();
            return;
          }
          main->post([weak] {
            if (auto self = weak.lock()) self->terminateOnSignal();
          });
        });
  } catch (const std::exception& e) {
    SystemLog::write(std::string("tavlo-host: SIGTERM/SIGINT handlers not installed: ") + e.what());
  }
}

void HostController::terminateOnSignal() {
  // No goodbye to a client.
  if (exiting_) return;
  exiting_ = true;
  releaseMappingAtExit();
  restoreDisplaysAtExit();
  if (listener_) listener_->stop();
  if (handshakeGate_) handshakeGate_->stop();
  if (stopProbeResponder_) {
    stopProbeResponder_();
    stopProbeResponder_ = nullptr;
  }
  deps_.exit(HostExit::signal);
}

void HostController::applicationWillTerminate() {
  if (!willTerminateArmed_ || exiting_) return;
  exiting_ = true;
  releaseMappingAtExit();
  restoreDisplaysAtExit();
}

void HostController::releaseMappingAtExit() {
  // A host that is gone must not leave its ports open on the router until the lease runs out (the
  // deletes go out on the mappers' own queues, which the program drains before it ends), nor an
  // endpoint that clients would keep dialling in the key-value store and at the relay (the relay link
  // sends what it was given before it goes).
  const bool held = portMappingHeld();
  if (portMappingLive()) stopPortMapping();
  const bool published = publicEndpoint.get().has_value();
  if (published) withdrawPublicEndpoint();
  if (auto line = natReleaseLine("koniec hosta", held, published)) log(*line);
}

void HostController::closeSessionsForExit() {
  auto active = std::exchange(session_, nullptr);
  auto parked = std::exchange(parkedSession_, nullptr);
  parkedDeviceKey_.reset();
  // The clipboard goes with the session: its files are removed, and a paste waiting for one ends now.
  if (active && deps_.seams.clipboard.stop) deps_.seams.clipboard.stop();
  if (active) active->close();
  if (parked) parked->close();
  // Connections that never said hello hold session threads too, waiting for it.
  for (const auto& waiting : waitingForAdmission_.takeAll()) waiting->close();
}

void HostController::screenLocked() {
  hostLocked_ = true;
  if (!session_) return;
  log("🔒 host zablokowany — rozłączam klienta (BYE)");
  disconnectClient();
}

void HostController::checkLockedAtStart() {
  const HostControllerSeams& seams = deps_.seams;
  if (!(seams.isScreenLocked && seams.isScreenLocked())) return;
  hostLocked_ = true;
  log("🔒 start przy zablokowanym ekranie — auto-HELLO odrzucane do odblokowania");
}

void HostController::screensAsleep() {
  if (!session_) return;
  log("🔒 ekrany hosta uśpione — rozłączam klienta (BYE)");
  disconnectClient();
}

void HostController::screenUnlocked() {
  hostLocked_ = false;
  if (unlockVerifyPending_) {
    unlockVerifyPending_ = false;
    log("🔓✅ ODBLOKOWANO — hasło przeszło do loginwindow");
  }
  if (session_) session_->sendLockState(false, false);
}

}  // namespace tavlo
