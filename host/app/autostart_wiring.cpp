#include "host/app/autostart_wiring.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "host/app/host_program_steps.hpp"
#include "host/controller/autostart_installer.hpp"
#include "host/controller/autostart_reconciler.hpp"
#include "host/controller/autostart_unit.hpp"
#include "host/controller/instance_lock.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {
namespace {

// How long start-up waits for the login units' reconciliation before it goes on without it.
constexpr uint64_t autostartAnswerLimitUs = 5'000'000;

// What starts this very executable at login, in the user's configuration folder; the failure's text
// otherwise.
std::optional<AutostartInstallPlan> ownAutostartPlan(bool keepRunning, std::string& failure) {
  auto units = userUnitDirectory(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  auto entries = userAutostartDirectory(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  if (!units || !entries) {
    failure = "neither XDG_CONFIG_HOME nor HOME names the user's configuration folder";
    return std::nullopt;
  }
  std::error_code ec;
  auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    failure = "cannot find the host's own executable: " + ec.message();
    return std::nullopt;
  }
  return AutostartInstallPlan{.unitDirectory = *units,
                              .entryDirectory = *entries,
                              .executable = executable,
                              .version = unitVersion(),
                              .keepRunning = keepRunning};
}

// The reconciler for this executable's login units, run on `worker` and logging through `log`.
std::shared_ptr<AutostartReconciler> ownAutostartReconciler(const std::shared_ptr<SerialExecutor>& worker,
                                                            Scheduler& scheduler, JsonStore& settings, LogSink log,
                                                            const std::shared_ptr<CommandStop>& commandStop) {
  AutostartReconcilerDeps autostart{.runner = std::make_shared<ProcessCommandRunner>(commandStop),
                                    .settings = &settings,
                                    .scheduler = &scheduler,
                                    .post = [worker](std::function<void()> job) { worker->post(std::move(job)); },
                                    .plan = std::nullopt,
                                    .noPlanReason = {},
                                    .ownPid = static_cast<int32_t>(::getpid()),
                                    .log = std::move(log)};
  autostart.plan = ownAutostartPlan(false, autostart.noPlanReason);
  return std::make_shared<AutostartReconciler>(std::move(autostart));
}

}  // namespace

std::optional<std::string> enforceAutostart(bool launchAtLogin, bool keepRunning) {
  std::string failure;
  auto plan = ownAutostartPlan(keepRunning, failure);
  if (!plan) return failure;
  ProcessCommandRunner runner;
  if (auto refused = applyAutostartWish(*plan, launchAtLogin, runner)) return refused;
  // Stored only once the registration stands, as the settings window does: every later start of the host
  // keeps the registration in line with it, and a wish the system refused would only be refused again.
  Settings settings(Settings::defaultPath(), SystemLog::sink("tavlo-host: settings: "));
  storeAutostartWish(settings, launchAtLogin, keepRunning);
  return std::nullopt;
}

std::function<void(LogSink log, std::function<void(bool handOver)> done)> makeAutostartReconciliation(
    MainExecutor& main, Scheduler& scheduler, JsonStore& settings, std::shared_ptr<SerialExecutor> worker,
    std::shared_ptr<CommandStop> commandStop) {
  return [&main, &scheduler, &settings, autostartWorker = std::move(worker), commandStop = std::move(commandStop)](
             LogSink log, std::function<void(bool)> done) {
    // Start-up goes on without the answer when the user manager takes too long; a late one is ignored.
    auto answered = std::make_shared<bool>(false);  // on the main executor
    auto answer = [done, answered](bool handOver) {
      if (std::exchange(*answered, true)) return;
      done(handOver);
    };
    scheduler.after(autostartAnswerLimitUs, [&main, answer, answered, log] {
      main.post([answer, answered, log] {
        if (*answered) return;
        log("🚀 autostart: menedżer usług nie odpowiada w 5 s — startuję bez uzgodnienia jednostek");
        answer(false);
      });
    });
    autostartWorker->post([&main, &scheduler, &settings, autostartWorker, commandStop, log, answer] {
      ownAutostartReconciler(autostartWorker, scheduler, settings, log, commandStop)
          ->reconcile([&main, answer](bool handOver) { main.post([answer, handOver] { answer(handOver); }); });
    });
  };
}

SettingsWindowDependencies::Autostart settingsWindowAutostart(MainExecutor& main, Scheduler& scheduler,
                                                              JsonStore& settings,
                                                              std::shared_ptr<SerialExecutor> worker,
                                                              std::shared_ptr<CommandStop> commandStop, LogSink log) {
  using AutostartState = SettingsWindowDependencies::AutostartState;
  SettingsWindowDependencies::Autostart autostart;
  // The user manager asks for no approval: needsSystemApproval stays false.
  autostart.read = [&main, autostartWorker = worker](std::function<void(AutostartState)> answer) {
    autostartWorker->post([&main, answer = std::move(answer)] {
      std::string noPlan;
      const auto plan = ownAutostartPlan(false, noPlan);
      AutostartState state;
      state.keepRunning = plan && autostartRegistered(AutostartUnitKind::keepRunning, *plan);
      state.launchAtLogin = state.keepRunning || (plan && autostartRegistered(AutostartUnitKind::plain, *plan));
      main.post([answer, state] { answer(state); });
    });
  };
  autostart.enforce = [&main, &scheduler, &settings, autostartWorker = worker, commandStop, log = std::move(log)](
                          bool launchAtLogin, bool keepRunning,
                          std::function<void(std::optional<std::string>)> answer) {
    autostartWorker->post([=, &main, &scheduler, &settings] {
      auto failure = ownAutostartReconciler(autostartWorker, scheduler, settings, log, commandStop)
                         ->enforce(launchAtLogin, keepRunning, false);
      // The log says what the pane shows.
      if (failure) log("🚀 autostart: rejestracja nie powiodła się — " + *failure);
      main.post([answer, failure] { answer(failure); });
    });
  };
  return autostart;
}

bool launchedByLoginUnit() {
  return launchedByUserService(legacyHostUnitName) ||
         launchedByUserService(autostartUnitName(AutostartUnitKind::plain)) ||
         launchedByUserService(autostartUnitName(AutostartUnitKind::keepRunning));
}

}  // namespace tavlo
