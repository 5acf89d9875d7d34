#pragma once
// Writes and removes what starts the host at login (see autostart_unit.hpp): the autostart entry of the
// wanted kind and, to keep the host running, its user service. systemctl and the checkers run argv-only
// through the injected runner.
//
// All or nothing: a registration that fails anywhere (a path the formats cannot hold, an entry or unit
// the desktop's or systemd's own checker refuses, a file that cannot be written, a user manager that
// refuses to reload) removes what it wrote and leaves the earlier registration as it was; only a complete
// one retires the other kind.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/controller/autostart_unit.hpp"
#include "platform/runtime/command_runner.hpp"

namespace tavlo {

struct AutostartInstallPlan {
  std::filesystem::path unitDirectory;   // the user manager's unit directory
  std::filesystem::path entryDirectory;  // the desktop's autostart directory
  std::filesystem::path executable;      // the host binary the entry and the unit run
  std::string version;
  bool keepRunning = false;  // the keep-running kind instead of the plain one
};

// `systemctl --user <arguments>`, run argv-only through the runner.
CommandResult systemctlUser(CommandRunner& runner, std::vector<std::string> arguments);
// "systemctl --user <what> exited with <code>", with what the command printed.
std::string describeSystemctlFailure(const std::string& what, const CommandResult& result);

// Registers the wanted kind and then retires the other. Returns the text of what failed, nullopt on
// success.
std::optional<std::string> installAutostart(const AutostartInstallPlan& plan, CommandRunner& runner);

// Removes both kinds' entries and the service, and retires the login units of earlier versions; what
// was never there is no error.
std::optional<std::string> removeAutostart(const AutostartInstallPlan& plan, CommandRunner& runner);

// Whether `kind` is registered: its entry is there and, to keep running, its service too.
bool autostartRegistered(AutostartUnitKind kind, const AutostartInstallPlan& plan);

// Brings the registration in line with a wish: install the wanted kind, or remove both.
std::optional<std::string> applyAutostartWish(const AutostartInstallPlan& plan, bool launchAtLogin,
                                              CommandRunner& runner);

}  // namespace tavlo
