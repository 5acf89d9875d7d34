#pragma once
// The login units of this very executable: installed or removed from the command line, reconciled at
// start-up (on a worker, with a bound on the user manager's answer), read and changed by the settings
// window; and whether this process is one a login unit started.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/app/settings/settings_dependencies.hpp"
#include "host/controller/host_controller_seams.hpp"
#include "platform/runtime/command_runner.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {

// Stores the wish and installs or removes the units; the failure's text otherwise.
std::optional<std::string> enforceAutostart(bool launchAtLogin, bool keepRunning);

// The controller's start-up reconciliation of the login units, run on `worker`; start-up goes on without
// its answer when the user manager takes too long.
std::function<void(LogSink log, std::function<void(bool handOver)> done)> makeAutostartReconciliation(
    MainExecutor& main, Scheduler& scheduler, JsonStore& settings, std::shared_ptr<SerialExecutor> worker,
    std::shared_ptr<CommandStop> commandStop);

// The settings window's reading and changing of the login units, on `worker`, answered on `main`.
SettingsWindowDependencies::Autostart settingsWindowAutostart(MainExecutor& main, Scheduler& scheduler,
                                                              JsonStore& settings,
                                                              std::shared_ptr<SerialExecutor> worker,
                                                              std::shared_ptr<CommandStop> commandStop, LogSink log);

// Whether a login unit (an earlier version's too, until it is retired) started this process.
bool launchedByLoginUnit();

}  // namespace tavlo
