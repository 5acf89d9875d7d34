#include "host/controller/autostart_installer.hpp"

#include <system_error>

#include "host/controller/autostart_unit.hpp"
#include "platform/runtime/bytes.hpp"
#include "platform/runtime/private_files.hpp"

namespace tavlo {
namespace {

// User units may be read by anyone (systemd needs no more); only the owner writes them.
constexpr unsigned unitFileMode = 0644;

// Written beside the target and renamed over it, so a unit is never read half-written.
std::optional<std::string> writeUnit(const std::filesystem::path& target, const std::string& text) {
  std::error_code ec;
  std::filesystem::create_directories(target.parent_path(), ec);
  if (ec) return "cannot create " + target.parent_path().string() + ": " + ec.message();
  return writeFileAtomically(target, toBytes(text), unitFileMode);
}

}  // namespace

CommandResult systemctlUser(CommandRunner& runner, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"systemctl", "--user"});
  return runner.run(arguments);
}

std::string describeSystemctlFailure(const std::string& what, const CommandResult& result) {
  std::string text = "systemctl --user " + what + " exited with " + std::to_string(result.exitCode);
  const auto end = result.output.find_last_not_of(" \t\r\n");
  if (end != std::string::npos) text += ": " + result.output.substr(0, end + 1);
  return text;
}

std::optional<std::string> installAutostart(const AutostartInstallPlan& plan, CommandRunner& runner) {
  const auto wanted = plan.keepRunning ? AutostartUnitKind::keepRunning : AutostartUnitKind::plain;
  const auto other = plan.keepRunning ? AutostartUnitKind::plain : AutostartUnitKind::keepRunning;
  auto text = renderAutostartUnit(wanted, plan.executable, plan.version);
  if (!text) return "the path " + plan.executable.string() + " cannot be written into a unit file";

  const std::string otherName(autostartUnitName(other));
  systemctlUser(runner, {"disable", otherName});  // not installed is fine
  std::error_code ignored;
  std::filesystem::remove(plan.unitDirectory / otherName, ignored);

  const std::string wantedName(autostartUnitName(wanted));
  if (auto failure = writeUnit(plan.unitDirectory / wantedName, *text)) return failure;
  if (auto r = systemctlUser(runner, {"daemon-reload"}); r.exitCode != 0) {
    return describeSystemctlFailure("daemon-reload", r);
  }
  if (auto r = systemctlUser(runner, {"enable", wantedName}); r.exitCode != 0) {
    return describeSystemctlFailure("enable " + wantedName, r);
  }
  return std::nullopt;
}

std::optional<std::string> removeAutostart(const std::filesystem::path& unitDirectory, CommandRunner& runner) {
  std::optional<std::string> failure;
  for (auto kind : {AutostartUnitKind::plain, AutostartUnitKind::keepRunning}) {
    const std::string name(autostartUnitName(kind));
    systemctlUser(runner, {"disable", name});
    std::error_code ec;
    std::filesystem::remove(unitDirectory / name, ec);
    if (ec && !failure) failure = "cannot remove " + (unitDirectory / name).string() + ": " + ec.message();
  }
  if (auto r = systemctlUser(runner, {"daemon-reload"}); r.exitCode != 0 && !failure) {
    failure = describeSystemctlFailure("daemon-reload", r);
  }
  return failure;
}

bool autostartUnitEnabled(AutostartUnitKind kind, CommandRunner& runner) {
  return systemctlUser(runner, {"is-enabled", std::string(autostartUnitName(kind))}).exitCode == 0;
}

std::optional<std::string> applyAutostartWish(const AutostartInstallPlan& plan, bool launchAtLogin,
                                              CommandRunner& runner) {
  return launchAtLogin ? installAutostart(plan, runner) : removeAutostart(plan.unitDirectory, runner);
}

}  // namespace tavlo
