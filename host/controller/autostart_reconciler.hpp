#pragma once
// Brings what starts the host at login in line with the user's stored wish at every start of the host,
// before it listens. To keep the host running, the host that the login entry (or the user) started hands
// the session's display to the user manager and starts the keep-running service; it waits up to 5 s for
// the service's instance and then gives way to it. A registration the system refused is not waited for.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/controller/autostart_installer.hpp"
#include "host/controller/autostart_unit.hpp"
#include "platform/runtime/command_runner.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

// The user's wish, which every start of the host brings the login units in line with. Whatever changes
// the units on the user's behalf (the settings window, the command line) stores it too: a unit installed
// against the stored wish would be taken out again at the next start.
inline constexpr const char* autostartLoginKey = "tl.autostartLogin";
inline constexpr const char* autostartKeepRunningKey = "tl.autostartKeepRunning";
void storeAutostartWish(JsonStore& settings, bool launchAtLogin, bool keepRunning);

// A kind's registration, as its files say (see autostartRegistered). requiresApproval never comes from
// the desktop, but the decisions keep it so that a manager needing consent fits in.
enum class AutostartUnitStatus { notRegistered, enabled, requiresApproval, notFound };

const char* autostartStatusText(AutostartUnitStatus status);
bool isRegistered(AutostartUnitStatus status);

// notRegistered without a plan (the user has no configuration folder).
AutostartUnitStatus autostartUnitStatus(AutostartUnitKind kind, const std::optional<AutostartInstallPlan>& plan);
// systemctl --user is-active: the user manager runs a job for the unit (for the plain kind, the plain
// unit of earlier versions, which is only retired).
bool autostartJobLoaded(AutostartUnitKind kind, CommandRunner& runner);
// systemctl --user show -p MainPID --value; nullopt when the unit runs no process.
std::optional<int32_t> autostartJobPid(AutostartUnitKind kind, CommandRunner& runner);

struct AutostartReconcilerDeps {
  std::shared_ptr<CommandRunner> runner;
  JsonStore* settings = nullptr;
  Scheduler* scheduler = nullptr;
  // Runs a job on the thread that reconciles (the host's autostart worker): each poll of the hand-over
  // wait asks systemctl there.
  std::function<void(std::function<void()>)> post;
  // Where and what the wanted unit is written from; nullopt with the reason when the host has no unit
  // directory.
  std::optional<AutostartInstallPlan> plan;
  std::string noPlanReason;
  int32_t ownPid = 0;
  LogSink log;
};

class AutostartReconciler : public std::enable_shared_from_this<AutostartReconciler> {
 public:
  explicit AutostartReconciler(AutostartReconcilerDeps deps) : deps_(std::move(deps)) {}

  // Calls `done` (on this thread or through `post`, perhaps at once) with true when the user manager's
  // own instance has started and this hand-started one must quit.
  void reconcile(std::function<void(bool handOver)> done);

  // Applies a wish: registers the wanted kind and retires the other, or retires both; to keep running,
  // also starts the service. Returns the registration's failure, after which nothing of the wanted kind
  // is left registered; unregistering never fails the wish.
  std::optional<std::string> enforce(bool launchAtLogin, bool keepRunning, bool reregisterDormant);

  // Whether this process is the main process of either login unit.
  bool launchedByService();

  static constexpr uint64_t handOverPollUs = 500'000;
  static constexpr int handOverPolls = 10;

 private:
  void log(const std::string& line) const;
  // The login unit whose main process this one is, if any.
  std::optional<AutostartUnitKind> ownUnit();
  void unload(AutostartUnitKind kind, std::optional<AutostartUnitKind> own);
  void awaitServiceInstance(AutostartUnitKind wanted, int poll, std::function<void(bool)> done);
  void seedOnFirstRun();
  void retireLegacyUnit();

  AutostartReconcilerDeps deps_;
};

}  // namespace tavlo
