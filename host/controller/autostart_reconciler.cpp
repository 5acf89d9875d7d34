#include "host/controller/autostart_reconciler.hpp"

#include <charconv>
#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/runtime/session_bus_address.hpp"

namespace tavlo {
namespace {

std::string unitName(AutostartUnitKind kind) { return std::string(autostartUnitName(kind)); }

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

const char* flag(bool value) { return value ? "true" : "false"; }

AutostartUnitKind otherKind(AutostartUnitKind kind) {
  return kind == AutostartUnitKind::plain ? AutostartUnitKind::keepRunning : AutostartUnitKind::plain;
}

}  // namespace

void storeAutostartWish(JsonStore& settings, bool launchAtLogin, bool keepRunning) {
  settings.set(autostartLoginKey, JsonValue(launchAtLogin));
  settings.set(autostartKeepRunningKey, JsonValue(keepRunning));
}

const char* autostartStatusText(AutostartUnitStatus status) {
  switch (status) {
    case AutostartUnitStatus::notRegistered: return "notRegistered";
    case AutostartUnitStatus::enabled: return "enabled";
    case AutostartUnitStatus::requiresApproval: return "requiresApproval";
    case AutostartUnitStatus::notFound: return "notFound";
  }
  return "?";
}

bool isRegistered(AutostartUnitStatus status) {
  return status == AutostartUnitStatus::enabled || status == AutostartUnitStatus::requiresApproval;
}

AutostartUnitStatus autostartUnitStatus(AutostartUnitKind kind, const std::optional<AutostartInstallPlan>& plan) {
  return plan && autostartRegistered(kind, *plan) ? AutostartUnitStatus::enabled : AutostartUnitStatus::notRegistered;
}

bool autostartJobLoaded(AutostartUnitKind kind, CommandRunner& runner) {
  return systemctlUser(runner, {"is-active", unitName(kind)}).exitCode == 0;
}

namespace {

std::optional<int32_t> systemctlPid(CommandRunner& runner, const std::string& unit) {
  const CommandResult r = systemctlUser(runner, {"show", "-p", "MainPID", "--value", unit});
  if (r.exitCode != 0) return std::nullopt;
  const std::string text = trimmed(r.output);
  int32_t pid = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  // 0 is how the manager says that the unit runs no process.
  if (ec != std::errc() || end != text.data() + text.size() || pid <= 0) return std::nullopt;
  return pid;
}

}  // namespace

std::optional<int32_t> autostartJobPid(AutostartUnitKind kind, CommandRunner& runner) {
  return systemctlPid(runner, unitName(kind));
}

void AutostartReconciler::log(const std::string& line) const {
  if (deps_.log) deps_.log(line);
}

std::optional<AutostartUnitKind> AutostartReconciler::ownUnit() {
  for (auto kind : {AutostartUnitKind::plain, AutostartUnitKind::keepRunning}) {
    if (autostartJobPid(kind, *deps_.runner) == deps_.ownPid) return kind;
  }
  return std::nullopt;
}

bool AutostartReconciler::launchedByService() { return ownUnit().has_value(); }

void AutostartReconciler::unload(AutostartUnitKind kind, std::optional<AutostartUnitKind> own) {
  // Stopping the unit that runs this very process would end it in the middle of its start-up; it stays
  // the host for this session and the unit no longer starts it at the next login.
  if (own != kind) systemctlUser(*deps_.runner, {"stop", unitName(kind)});
  systemctlUser(*deps_.runner, {"disable", unitName(kind)});
}

// An earlier version's unit in the user's unit directory is disabled and its file removed, so that two
// login units never start two hosts. A job it still runs is left to end on its own: when that job is
// this very process, stopping it would end the host that is retiring it.
void AutostartReconciler::retireLegacyUnit() {
  if (!deps_.plan) return;
  const std::filesystem::path file = deps_.plan->unitDirectory / legacyHostUnitName;
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return;
  CommandRunner& runner = *deps_.runner;
  systemctlUser(runner, {"disable", std::string(legacyHostUnitName)});
  const std::optional<int32_t> pid = systemctlPid(runner, std::string(legacyHostUnitName));
  if (pid && *pid != deps_.ownPid) systemctlUser(runner, {"stop", std::string(legacyHostUnitName)});
  // A file that cannot be removed stays; the disabled unit no longer starts at login.
  std::filesystem::remove(file, ec);
  systemctlUser(runner, {"daemon-reload"});
}

std::optional<std::string> AutostartReconciler::enforce(bool launchAtLogin, bool keepRunning, bool reregisterDormant) {
  CommandRunner& runner = *deps_.runner;
  const std::optional<AutostartUnitKind> own = ownUnit();
  if (!launchAtLogin) {
    // Unregistering never fails the wish: what is not there is already what was wanted.
    if (deps_.plan) {
      removeAutostart(*deps_.plan, runner);
    } else {
      for (auto kind : {AutostartUnitKind::plain, AutostartUnitKind::keepRunning}) {
        systemctlUser(runner, {"disable", unitName(kind)});
      }
    }
    for (auto kind : {AutostartUnitKind::plain, AutostartUnitKind::keepRunning}) {
      if (autostartJobLoaded(kind, runner)) unload(kind, own);
    }
    return std::nullopt;
  }

  const auto wanted = keepRunning ? AutostartUnitKind::keepRunning : AutostartUnitKind::plain;
  const auto other = otherKind(wanted);
  retireLegacyUnit();
  if (!deps_.plan) return deps_.noPlanReason;
  AutostartInstallPlan plan = *deps_.plan;
  plan.keepRunning = keepRunning;
  if (reregisterDormant || !isRegistered(autostartUnitStatus(wanted, plan)) ||
      isRegistered(autostartUnitStatus(other, plan))) {
    if (auto failure = installAutostart(plan, runner)) return failure;
  }
  if (autostartJobLoaded(other, runner)) unload(other, own);
  if (!keepRunning) return std::nullopt;

  // The service runs outside the session: it gets the session's display and bus from here, then starts
  // (a service already running this process, or another instance, is left as it is).
  std::vector<std::string> importing{"import-environment"};
  for (const char* name : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE"}) {
    if (std::getenv(name) != nullptr) importing.emplace_back(name);
  }
  // Only a bus the session named: the address that names none is this process's own.
  if (sessionBusNamed()) importing.emplace_back("DBUS_SESSION_BUS_ADDRESS");
  if (importing.size() > 1) systemctlUser(runner, importing);
  if (auto r = systemctlUser(runner, {"start", "--no-block", unitName(wanted)}); r.exitCode != 0) {
    // A manager that refuses to run the service would leave a login entry that starts nothing kept
    // running: the registration goes as a whole.
    removeAutostart(plan, runner);
    return describeSystemctlFailure("start " + unitName(wanted), r);
  }
  return std::nullopt;
}

void AutostartReconciler::seedOnFirstRun() {
  JsonStore& settings = *deps_.settings;
  if (settings.contains(autostartLoginKey)) return;
  const bool keep = isRegistered(autostartUnitStatus(AutostartUnitKind::keepRunning, deps_.plan));
  const bool login = isRegistered(autostartUnitStatus(AutostartUnitKind::plain, deps_.plan)) || keep;
  storeAutostartWish(settings, login, keep);
}

void AutostartReconciler::reconcile(std::function<void(bool handOver)> done) {
  CommandRunner& runner = *deps_.runner;
  seedOnFirstRun();
  const bool wantLogin = deps_.settings->getBool(autostartLoginKey).value_or(false);
  const bool wantKeep = deps_.settings->getBool(autostartKeepRunningKey).value_or(false);
  const auto wanted = wantKeep ? AutostartUnitKind::keepRunning : AutostartUnitKind::plain;
  const auto other = otherKind(wanted);

  // Each question is a systemctl process: every unit is asked once.
  const auto plainStatus = autostartUnitStatus(AutostartUnitKind::plain, deps_.plan);
  const auto keepStatus = autostartUnitStatus(AutostartUnitKind::keepRunning, deps_.plan);
  const bool plainJob = autostartJobLoaded(AutostartUnitKind::plain, runner);
  const bool keepJob = autostartJobLoaded(AutostartUnitKind::keepRunning, runner);
  const auto statusOf = [&](AutostartUnitKind kind) { return kind == AutostartUnitKind::plain ? plainStatus : keepStatus; };
  const auto jobOf = [&](AutostartUnitKind kind) { return kind == AutostartUnitKind::plain ? plainJob : keepJob; };

  const AutostartUnitStatus status = statusOf(wanted);
  const bool wantedJob = jobOf(wanted);
  const bool otherQuiet = !isRegistered(statusOf(other)) && !jobOf(other);
  // The plain kind's entry runs nothing until the next login; the keep-running kind is in line only while
  // its service runs.
  const bool wantedRuns = !wantKeep || wantedJob;
  const bool consistent = wantLogin && otherQuiet &&
                          ((status == AutostartUnitStatus::enabled && wantedRuns) ||
                           status == AutostartUnitStatus::requiresApproval);
  const bool reregisterDormant = status == AutostartUnitStatus::enabled && !wantedRuns;

  log(std::string("🚀 autostart: chcę login=") + flag(wantLogin) + " keep=" + flag(wantKeep) +
      "; plain=" + autostartStatusText(plainStatus) + " keepalive=" + autostartStatusText(keepStatus) +
      "; zadania plain=" + flag(plainJob) + " keepalive=" + flag(keepJob) + " → " +
      (consistent ? "spójne" : "UZGADNIAM"));
  if (consistent) {
    done(false);
    return;
  }

  const auto failure = enforce(wantLogin, wantKeep, reregisterDormant);
  if (failure) log("🚀 autostart: rejestracja nie powiodła się — " + *failure);
  log(std::string("🚀 autostart po uzgodnieniu: plain=") +
      autostartStatusText(autostartUnitStatus(AutostartUnitKind::plain, deps_.plan)) +
      " keepalive=" + autostartStatusText(autostartUnitStatus(AutostartUnitKind::keepRunning, deps_.plan)));
  // Only a service that was started brings an instance to give way to.
  if (wantLogin && wantKeep && !failure && !launchedByService()) {
    awaitServiceInstance(wanted, 0, std::move(done));
    return;
  }
  done(false);
}

void AutostartReconciler::awaitServiceInstance(AutostartUnitKind wanted, int poll, std::function<void(bool)> done) {
  if (auto pid = autostartJobPid(wanted, *deps_.runner); pid && *pid != deps_.ownPid) {
    log("🚀 autostart: systemd uruchomił własną instancję (pid " + std::to_string(*pid) +
        ") — ta, ręczna, ustępuje");
    done(true);
    return;
  }
  // The wait goes through the scheduler so that the reconciling thread runs other jobs meanwhile.
  auto self = shared_from_this();
  auto next = [self, wanted, poll, done = std::move(done)]() mutable {
    if (poll + 1 < handOverPolls) {
      self->awaitServiceInstance(wanted, poll + 1, std::move(done));
      return;
    }
    self->log("🚀 autostart: systemd nie uruchomił własnej instancji w 5 s — zostaję jako instancja ręczna");
    done(false);
  };
  auto post = deps_.post;
  deps_.scheduler->after(handOverPollUs, [post, next = std::move(next)]() mutable { post(std::move(next)); });
}

}  // namespace tavlo
