#include "host/controller/autostart_installer.hpp"

#include <cstdlib>
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

// The path as a message can show it: control characters as '?'.
std::string shownPath(const std::filesystem::path& path) {
  std::string text = path.string();
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// What systemd itself makes of the unit, from a private copy: the failure's text when it refuses it.
// Without systemd-analyze, or when it cannot start a manager to load the unit into (no runtime folder),
// its verdict is missing, not negative, and the unit as written stands.
std::optional<std::string> verifyUnit(const std::string& unitName, const std::string& text, CommandRunner& runner) {
  std::string pattern = (std::filesystem::temp_directory_path() / "tavlo-unit-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  const std::filesystem::path folder = pattern, copy = folder / unitName;
  std::optional<std::string> failure;
  if (!writeFileAtomically(copy, toBytes(text), unitFileMode)) {
    const CommandResult r = runner.run({"systemd-analyze", "--user", "verify", "--man=no", copy.string()});
    // A verdict on the unit names it; a manager that could not start says nothing about it.
    if (r.exitCode > 0 && r.output.find(unitName) != std::string::npos) {
      failure = "systemd refuses the unit: " + r.output.substr(0, r.output.find_last_not_of(" \t\r\n") + 1);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return failure;
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
  if (!text) {
    return "the path " + shownPath(plan.executable) +
           " cannot be expressed in a systemd unit (systemd refuses an executable whose path holds a quote, an "
           "apostrophe, a backslash or a control character): move the host to another folder";
  }
  const std::string wantedName(autostartUnitName(wanted));
  if (auto failure = verifyUnit(wantedName, *text, runner)) return failure;

  const std::string otherName(autostartUnitName(other));
  systemctlUser(runner, {"disable", otherName});  // not installed is fine
  std::error_code ignored;
  std::filesystem::remove(plan.unitDirectory / otherName, ignored);

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
