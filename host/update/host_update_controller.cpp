#include "host/update/host_update_controller.hpp"

#include "host/update/update_feed.hpp"

namespace tavlo {

std::shared_ptr<HostUpdateController> HostUpdateController::create(HostUpdateControllerDeps deps) {
  return std::shared_ptr<HostUpdateController>(new HostUpdateController(std::move(deps)));
}

HostUpdateController::HostUpdateController(HostUpdateControllerDeps deps)
    : deps_(std::move(deps)), lastSessionEndedAtUs_(deps_.scheduler->clock().nowUs()) {}

HostUpdateController::~HostUpdateController() {
  if (freshnessTimer_) deps_.scheduler->cancel(*freshnessTimer_);
}

void HostUpdateController::later(uint64_t delayUs, std::function<void(HostUpdateController&)> job) {
  std::weak_ptr<HostUpdateController> weak = weak_from_this();
  auto post = deps_.postToMain;
  deps_.scheduler->after(delayUs, [weak, post, job = std::move(job)] {
    post([weak, job] {
      if (auto self = weak.lock()) job(*self);
    });
  });
}

void HostUpdateController::setStatus(std::string text) {
  status_ = std::move(text);
  if (onStatus_) onStatus_(status_);
}

std::string HostUpdateController::upToDateStatus() const {
  return checkResult("Up to date (build " + deps_.launchedBuild + ")");
}

std::string HostUpdateController::checkResult(const std::string& result) const {
  const std::string at = deps_.clockText ? deps_.clockText() : std::string();
  return at.empty() ? result : result + " — last check " + at;
}

void HostUpdateController::turnOff(UpdaterState state, const std::string& status, const std::string& line) {
  state_ = state;
  deps_.log(line);
  setStatus(status);
}

void HostUpdateController::start() {
  reportInstalledUpdateIfAny();
  startFreshnessGuard();
  if (deps_.feedUrl.empty() || !deps_.makeEngine) {
    turnOff(UpdaterState::offNoFeed, "Off: no update feed address is set",
            "🔄 brak tl.updateFeedURL w ustawieniach — aktualizacje wyłączone");
    return;
  }
  std::weak_ptr<HostUpdateController> weak = weak_from_this();
  UpdateEngineEvents events;
  events.readyToInstall = [weak](std::function<void()> action) {
    if (auto self = weak.lock()) self->deferOrInstall(std::move(action));
  };
  events.noUpdate = [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->setStatus(self->upToDateStatus());
    self->userRequested_ = false;
    self->deps_.log("🔄 brak nowszej wersji (build " + self->deps_.launchedBuild + ") — następne sprawdzenie za 24 h");
  };
  events.found = [weak](const UpdateItem& item) {
    auto self = weak.lock();
    if (!self) return;
    self->foundBuild_ = item.version;
    self->setStatus("Downloading " + item.displayVersion + " (" + item.version + ")…");
    self->deps_.log("🔄 znaleziono wersję " + item.displayVersion + " (build " + item.version + ") — pobieram w tle");
  };
  events.failed = [weak](const UpdateFailure& failure) {
    if (auto self = weak.lock()) self->describeFailure(failure);
  };
  std::shared_ptr<UpdateEngine> engine = deps_.makeEngine();
  std::optional<UpdateStartRefusal> refusal =
      engine ? engine->start(std::move(events)) : UpdateStartRefusal{UpdateStartRefusal::Reason::failed, "no update engine"};
  if (refusal) {
    // A build without a key and a program run from its build tree are off by design, not failures.
    switch (refusal->reason) {
      case UpdateStartRefusal::Reason::noSigningKey:
        turnOff(UpdaterState::offNoSigningKey, "Off: this build has no update signing key",
                "🔄 ten build nie ma klucza podpisu aktualizacji — aktualizacje wyłączone");
        break;
      case UpdateStartRefusal::Reason::notReleaseFolder:
        turnOff(UpdaterState::offNotReleaseFolder, "Off: not running from a release folder",
                "🔄 host nie działa z folderu wydania (" + refusal->text + ") — aktualizacje wyłączone");
        break;
      case UpdateStartRefusal::Reason::failed:
        turnOff(UpdaterState::offFailed, "Off: the updater could not start: " + refusal->text,
                "🔄 BŁĄD startu aktualizacji: " + refusal->text);
        break;
    }
    return;
  }
  updater_ = std::move(engine);
  state_ = UpdaterState::running;
  // A failed install stays in view until something newer happens.
  setStatus(installFailure_ ? "Update error: " + *installFailure_ : "Checks at launch and every 24 h");
  deps_.log("🔄 aktualizacje: nasłuch uruchomiony (build " + deps_.launchedBuild + ", kanał " + deps_.feedUrl + ")");
  later(firstCheckAfterUs, [](HostUpdateController& self) { self.requestCheck("przy starcie", false, 0); });
}

void HostUpdateController::reportInstalledUpdateIfAny() {
  JsonStore& settings = *deps_.settings;
  const std::optional<std::string> previous = settings.getString(lastRunBuildKey);
  settings.set(lastRunBuildKey, JsonValue(deps_.launchedBuild));
  settings.remove(installedPendingKey);
  // Another program started by hand in between (an older copy elsewhere) neither reports nor uses up
  // the install: it belongs to the folder it was made in.
  const std::optional<std::string> installedFolder = settings.getString(installedFolderKey);
  if (installedFolder && *installedFolder == deps_.installFolder) {
    const std::optional<std::string> installed = settings.getString(installedBuildKey);
    const std::optional<std::string> from = settings.getString(installedFromBuildKey);
    settings.remove(installedBuildKey);
    settings.remove(installedFromBuildKey);
    settings.remove(installedFolderKey);
    if (installed == deps_.launchedBuild && from && *from != deps_.launchedBuild) {
      deps_.log("🔄 ✅ host zaktualizowany: build " + *from + " → " + deps_.launchedBuild + " (" +
                deps_.launchedVersion + ")");
    }
  }
  if (previous && *previous != deps_.launchedBuild) {
    settings.remove(installFailureKey);
    settings.remove(failedBuildKey);
    return;
  }
  installFailure_ = settings.getString(installFailureKey);
  failedBuild_ = settings.getString(failedBuildKey);
  if (installFailure_) {
    deps_.log("🔄 ❌ aktualizacja nie zainstalowała się: " + *installFailure_ + " — działa dalej build " +
              deps_.launchedBuild);
  }
}

void HostUpdateController::startFreshnessGuard() {
  std::weak_ptr<HostUpdateController> weak = weak_from_this();
  auto post = deps_.postToMain;
  freshnessTimer_ = deps_.scheduler->every(freshnessPeriodUs, [weak, post] {
    post([weak] {
      if (auto self = weak.lock()) self->freshnessTick();
    });
  });
}

void HostUpdateController::askKeepRunning(std::function<void(HostUpdateController&, bool)> then) {
  if (!deps_.askKeepRunningJob) {
    then(*this, false);
    return;
  }
  std::weak_ptr<HostUpdateController> weak = weak_from_this();
  deps_.askKeepRunningJob([weak, then = std::move(then)](bool keepRunning) {
    if (auto self = weak.lock()) then(*self, keepRunning);
  });
}

void HostUpdateController::freshnessTick() {
  std::optional<std::string> onDisk = deps_.diskBuild ? deps_.diskBuild() : std::nullopt;
  // Only a newer build is worth a restart: the same one, an older one or a build that is not a number
  // would start a host no newer than this one, and under the keep-running unit it would quit again.
  if (!onDisk || !isNewerBuild(*onDisk, deps_.launchedBuild) || freshnessAsking_) return;
  freshnessAsking_ = true;
  askKeepRunning([onDisk = *onDisk](HostUpdateController& self, bool keepRunning) {
    self.freshnessAsking_ = false;
    self.freshnessAnswer(onDisk, keepRunning);
  });
}

void HostUpdateController::freshnessAnswer(const std::string& onDisk, bool keepRunning) {
  const std::string head = "🔄 na dysku jest build " + onDisk + ", działa " + deps_.launchedBuild;
  if (!keepRunning) {
    if (stayReportedFor_ != onDisk) deps_.log(head + " — bez keepalive zostaję (restart ręczny)");
    stayReportedFor_ = onDisk;
    return;
  }
  if (!deps_.canInstallNow()) return;  // the next firing tries again
  deps_.log(head + " — kończę, systemd podniesie nową wersję");
  deps_.terminate();
}

void HostUpdateController::requestCheck(const std::string& reason, bool manual, int attempt) {
  if (!updater_) return;
  if (!updater_->sessionInProgress()) {
    userRequested_ = manual;
    deps_.log("🔄 sprawdzam aktualizacje " + reason + "…");
    updater_->checkInBackground();
    return;
  }
  if (attempt < busyAttempts) {
    later(busyRetryUs, [reason, manual, attempt](HostUpdateController& self) {
      self.requestCheck(reason, manual, attempt + 1);
    });
    return;
  }
  deps_.log("🔄 sprawdzenie " + reason +
            " pominięte — silnik aktualizacji zajęty (sesja aktualizacji w toku od ponad minuty)");
  if (manual) setStatus("Update in progress…");
}

void HostUpdateController::checkNow() {
  if (!updater_) return;
  if (pendingInstall_) {
    deps_.log("🔄 na żądanie: aktualizacja już pobrana i czeka — instaluję od razu");
    installIfIdle(true);
    return;
  }
  setStatus("Checking for updates…");
  requestCheck("na żądanie", true, 0);
}

void HostUpdateController::deferOrInstall(std::function<void()> action) {
  pendingInstall_ = std::move(action);
  // The build whose install failed last time is installed again only when the user asks: on its own
  // it would fail, restart and download again at every quiet moment.
  if (installFailure_ && failedBuild_ == foundBuild_ && !userRequested_) {
    setStatus("Update error: " + *installFailure_);
    deps_.log("🔄 build " + foundBuild_ + " nie zainstalował się poprzednio — zainstaluję go tylko na żądanie");
    return;
  }
  setStatus("Update ready — installs when no client is connected");
  deps_.log("🔄 aktualizacja pobrana i zweryfikowana — zainstaluję, gdy nie będzie sesji");
  if (userRequested_) {
    userRequested_ = false;
    installIfIdle(true);
    return;
  }
  installIfIdle(false);
  if (pendingInstall_ && deps_.canInstallNow()) {
    later(retryAfterUs, [](HostUpdateController& self) { self.installIfIdle(false); });
  }
}

void HostUpdateController::installIfIdle(bool force) {
  if (!pendingInstall_) return;
  if (!force) {
    const uint64_t now = deps_.scheduler->clock().nowUs();
    const uint64_t idleUs = now > lastSessionEndedAtUs_ ? now - lastSessionEndedAtUs_ : 0;
    if (!deps_.canInstallNow()) {
      deps_.log("🔄 sesja trwa — instalacja poczeka na jej koniec");
      return;
    }
    if (idleUs < quietPeriodUs) {
      deps_.log("🔄 brak sesji od " + std::to_string(idleUs / 1'000'000) + " s — czekam na " +
                std::to_string(quietPeriodUs / 1'000'000) + " s spokoju");
      return;
    }
  }
  std::function<void()> action = std::move(pendingInstall_);
  pendingInstall_ = nullptr;
  setStatus("Installing…");
  askKeepRunning([action = std::move(action)](HostUpdateController& self, bool keepRunning) mutable {
    self.install(std::move(action), keepRunning);
  });
}

void HostUpdateController::install(std::function<void()> action, bool keepRunning) {
  // Either way the engine's action runs: it checks the staging as the installer will and ends the
  // process only for an install that will be made. The staged update is installed as the process ends.
  if (keepRunning) {
    deps_.log(
        "🔄 instaluję: kończę proces — instalator podmieni paczkę po wyjściu, systemd (keepalive) podniesie nową "
        "wersję");
  } else {
    deps_.log("🔄 instaluję aktualizację — instalator podmieni paczkę i zrelaunchuje hosta");
  }
  later(installDelayUs, [action = std::move(action)](HostUpdateController&) { action(); });
}

void HostUpdateController::sessionEnded() {
  lastSessionEndedAtUs_ = deps_.scheduler->clock().nowUs();
  if (pendingInstall_) later(retryAfterUs, [](HostUpdateController& self) { self.installIfIdle(false); });
}

void HostUpdateController::describeFailure(const UpdateFailure& failure) {
  // The user's check has ended either way: an update a later check of the engine's own finds must wait
  // for the session like any other.
  userRequested_ = false;
  if (failure.code == update_error::noUpdate) {
    setStatus(upToDateStatus());
    return;
  }
  setStatus(checkResult("Update error: " + failure.description));
  deps_.log("🔄 błąd aktualizacji " + std::to_string(failure.code) + ": " + failure.description);
}

}  // namespace tavlo
