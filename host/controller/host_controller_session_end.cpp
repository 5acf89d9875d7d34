// The end of the active client's session (its onDisconnect): the ended session may stay parked with warm
// engines for its client's quick return, and what acceptance switched on is switched off again.
#include "host/controller/host_controller.hpp"
#include "platform/runtime/freed_memory.hpp"

namespace tavlo {

namespace {

// A virtual display re-moded this often is recreated for the next client rather than re-moded again.
constexpr int64_t reModeRecreateThreshold = 8;

}  // namespace

void HostController::sessionEnded(const std::shared_ptr<ControlledSession>& ended) {
  const HostControllerSeams& seams = deps_.seams;
  if (ended && ended->parkedWarm()) {
    if (parkedSession_) deps_.main.post([older = parkedSession_] { older->close(); });
    setParkedSession(ended, connectedDeviceKey_);
    std::weak_ptr<HostController> weak = weak_from_this();
    std::weak_ptr<ControlledSession> parked = ended;
    MainExecutor* main = &deps_.main;
    auto id = deps_.scheduler.after(warmReserveUs, [main, weak, parked] {
      onMain(*main, weak, [parked](HostController& self) {
        auto session = parked.lock();
        if (!session || self.parkedSession_ != session) return;
        self.setParkedSession(nullptr, std::nullopt);
        self.log("🅿️ ciepła rezerwa wygasła (90 s) — zatrzymuję silniki");
        session->close();
        if (self.session_ || self.parkedSession_) return;
        self.cleanUpDisplay("♻️ odtwarzam wirtualny ekran po wygaśnięciu rezerwy (re-mode ≥ próg)");
      });
    });
    parkExpiryTimer_ = ScopedTimer(deps_.scheduler, id);
  }
  if (seams.setForce1xSuppressed) seams.setForce1xSuppressed(false);
  clearClientState();
  setSession(nullptr);
  // Most of what the session and whatever was sent at it allocated is freed by now: give the pages
  // back, so that a host between clients does not keep the high-water mark of the last one.
  releaseFreedMemory();
  log("gotowy na kolejnego klienta");
}

void HostController::clearClientState() {
  const HostControllerSeams& seams = deps_.seams;
  // The pasteboard poll stops and the session's pending items fail once the session is no longer the
  // active one (setSession).
  if (seams.stopTextFocusPolling) seams.stopTextFocusPolling();
  if (releaseDisplaySleep_) {
    std::exchange(releaseDisplaySleep_, nullptr)();
    log("☕️ asercja zasilania zwolniona");
  }
  clientConnected.set(false);
  if (seams.restoreDefaultInput) seams.restoreDefaultInput();
  clientName.set("");
  clientPlatform.set(std::nullopt);
  status.set("Listening on port " + std::to_string(controlPortInUse_));
  // Every end of the client's session, also one the host caused (a lock, sleeping displays, a path
  // switched off), lets the on-demand mapping go unless a client comes back.
  scheduleNATRelease();
}

void HostController::dropSessionNow() {
  std::shared_ptr<ControlledSession> dropped = session_;
  if (!dropped) return;
  clearClientState();
  setSession(nullptr);
  deps_.main.post([dropped] { dropped->close(); });
}

void HostController::disconnectClient() {
  if (!session_) return;
  std::shared_ptr<ControlledSession> ended = session_;
  log("rozłączam klienta (z menu)");
  ended->sendBye();
  clearClientState();
  setSession(nullptr);

  // The pause lets the goodbye leave before the session closes its transport.
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  deps_.scheduler.after(disconnectCloseDelayUs, [main, weak, ended] {
    onMain(*main, weak, [ended](HostController& self) {
      ended->close();
      // A client admitted during the pause streams on the display, and a parked session keeps its engines
      // warm on it: it stays as it is.
      if (self.session_ || self.parkedSession_) return;
      const int64_t reModes = self.deps_.sharedDisplay ? self.deps_.sharedDisplay->reModeCount() : 0;
      self.cleanUpDisplay("♻️ odtwarzam wirtualny ekran (re-mode " + std::to_string(reModes) +
                          " ≥ próg) — profilaktyka degradacji");
    });
  });
}

void HostController::cleanUpDisplay(const std::string& recreateLine) {
  std::shared_ptr<vela::DisplayProviding> display = deps_.sharedDisplay;
  if (!display) return;
  displayWork([display, recreateLine, log = logSink()] {
    if (display->restorePhysicalDisplays()) {
      display->destroy();
    } else if (display->reModeCount() >= reModeRecreateThreshold) {
      log(recreateLine);
      display->destroy();
    }
  });
}

void HostController::restoreDisplaysAtExit() {
  std::shared_ptr<vela::DisplayProviding> display = deps_.sharedDisplay;
  if (!display) return;
  displayWork([display] {
    display->restorePhysicalDisplays();
    display->destroy();
  });
}

void HostController::displayWork(std::function<void()> work) {
  const auto& run = deps_.seams.runDisplayWork;
  if (!run) {
    work();
    return;
  }
  ++displayWorkInFlight_;
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  run([work = std::move(work), main, weak] {
    work();
    onMain(*main, weak, [](HostController& self) { self.displayWorkDone(); });
  });
}

void HostController::displayWorkDone() {
  if (--displayWorkInFlight_ > 0) return;
  if (auto admission = std::exchange(admissionAfterDisplayWork_, nullptr)) admission();
}

}  // namespace tavlo
