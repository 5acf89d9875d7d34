#pragma once
// Installs and removes the host's login units from the command line, for people who run the host
// without the tray. systemctl runs argv-only through the injected runner.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/controller/autostart_unit.hpp"
#include "platform/runtime/command_runner.hpp"

namespace tavlo {

struct AutostartInstallPlan {
  std::filesystem::path unitDirectory;  // the user manager's unit directory
  std::filesystem::path executable;     // the host binary the unit runs
  std::string version;
  bool keepRunning = false;  // the keep-running unit instead of the plain one
};

// `systemctl --user <arguments>`, run argv-only through the runner.
CommandResult systemctlUser(CommandRunner& runner, std::vector<std::string> arguments);
// "systemctl --user <what> exited with <code>", with what the command printed.
std::string describeSystemctlFailure(const std::string& what, const CommandResult& result);

// Writes the wanted unit, retires the other one and enables the wanted one for the next login. Returns
// the text of what failed, nullopt on success: a path systemd cannot be told to run, and a unit that
// `systemd-analyze verify` refuses, are reported and change nothing.
std::optional<std::string> installAutostart(const AutostartInstallPlan& plan, CommandRunner& runner);

// Disables both login units and removes their files; a unit that was never installed is no error.
std::optional<std::string> removeAutostart(const std::filesystem::path& unitDirectory, CommandRunner& runner);

// Whether the user manager has `kind` enabled (systemctl --user is-enabled exits 0).
bool autostartUnitEnabled(AutostartUnitKind kind, CommandRunner& runner);

// Brings the units in line with a wish from the settings window: install the wanted kind, or remove both.
std::optional<std::string> applyAutostartWish(const AutostartInstallPlan& plan, bool launchAtLogin,
                                              CommandRunner& runner);

}  // namespace tavlo
