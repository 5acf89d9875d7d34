#include "host/controller/autostart_installer.hpp"

#include <cstdlib>
#include <system_error>

#include "platform/runtime/bytes.hpp"
#include "platform/runtime/private_files.hpp"

namespace tavlo {
namespace {

// Units and entries may be read by anyone (the user manager and the session need no more); only the
// owner writes them.
constexpr unsigned readableFileMode = 0644;

// Written beside the target and renamed over it, so a unit or entry is never read half-written.
std::optional<std::string> writeReadable(const std::filesystem::path& target, const std::string& text) {
  std::error_code ec;
  std::filesystem::create_directories(target.parent_path(), ec);
  if (ec) return "cannot create " + target.parent_path().string() + ": " + ec.message();
  return writeFileAtomically(target, toBytes(text), readableFileMode);
}

// The path as a message can show it: control characters as '?'.
std::string shownPath(const std::filesystem::path& path) {
  std::string text = path.string();
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

std::string trimmedOutput(const std::string& output) {
  const auto end = output.find_last_not_of(" \t\r\n");
  return end == std::string::npos ? std::string() : output.substr(0, end + 1);
}

// What a checker makes of `text` under `fileName`, from a private copy: the failure's text when it
// refuses it. A checker that is not installed, or that could not judge (it does not name the file),
// gives no verdict, and the file as written stands.
std::optional<std::string> check(const std::string& fileName, const std::string& text, CommandRunner& runner,
                                 const std::vector<std::string>& checker, const std::string& who) {
  std::string pattern = (std::filesystem::temp_directory_path() / "tavlo-unit-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  const std::filesystem::path folder = pattern, copy = folder / fileName;
  std::optional<std::string> failure;
  if (!writeFileAtomically(copy, toBytes(text), readableFileMode)) {
    std::vector<std::string> argv = checker;
    argv.push_back(copy.string());
    const CommandResult r = runner.run(argv);
    if (r.exitCode > 0 && r.output.find(fileName) != std::string::npos) {
      failure = who + " refuses " + fileName + ": " + trimmedOutput(r.output);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return failure;
}

std::optional<std::string> verifyUnit(const std::string& name, const std::string& text, CommandRunner& runner) {
  return check(name, text, runner, {"systemd-analyze", "--user", "verify", "--man=no"}, "systemd");
}

std::optional<std::string> validateEntry(const std::string& name, const std::string& text, CommandRunner& runner) {
  return check(name, text, runner, {"desktop-file-validate"}, "desktop-file-validate");
}

void removeFile(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

std::string pathRefusal(const std::filesystem::path& executable, const char* format, const char* rule) {
  return "the path " + shownPath(executable) + " cannot be expressed in " + format + " (" + rule +
         "): move the host to another folder";
}

// The login units of earlier versions (a plain unit enabled for graphical-session.target, the same for
// the keep-running one): disabled and their files removed, so two things never start two hosts.
void retireEarlierUnits(const AutostartInstallPlan& plan, CommandRunner& runner) {
  for (auto kind : {AutostartUnitKind::plain, AutostartUnitKind::keepRunning}) {
    systemctlUser(runner, {"disable", std::string(autostartUnitName(kind))});
  }
  removeFile(plan.unitDirectory / autostartUnitName(AutostartUnitKind::plain));
}

void removeKind(AutostartUnitKind kind, const AutostartInstallPlan& plan) {
  removeFile(plan.entryDirectory / autostartEntryName(kind));
  if (kind == AutostartUnitKind::keepRunning) removeFile(plan.unitDirectory / autostartUnitName(kind));
}

}  // namespace

CommandResult systemctlUser(CommandRunner& runner, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"systemctl", "--user"});
  return runner.run(arguments);
}

std::string describeSystemctlFailure(const std::string& what, const CommandResult& result) {
  std::string text = "systemctl --user " + what + " exited with " + std::to_string(result.exitCode);
  const std::string output = trimmedOutput(result.output);
  if (!output.empty()) text += ": " + output;
  return text;
}

std::optional<std::string> installAutostart(const AutostartInstallPlan& plan, CommandRunner& runner) {
  const auto wanted = plan.keepRunning ? AutostartUnitKind::keepRunning : AutostartUnitKind::plain;
  const auto other = plan.keepRunning ? AutostartUnitKind::plain : AutostartUnitKind::keepRunning;
  std::optional<std::string> unit;
  const std::string unitName(autostartUnitName(AutostartUnitKind::keepRunning));
  if (plan.keepRunning) {
    unit = renderKeepRunningUnit(plan.executable, plan.version);
    if (!unit) {
      return pathRefusal(plan.executable, "a systemd unit",
                         "systemd refuses an executable whose path holds a quote, an apostrophe, a backslash or a "
                         "control character");
    }
    if (auto failure = verifyUnit(unitName, *unit, runner)) return failure;
  }
  auto entry = renderAutostartEntry(wanted, plan.executable, plan.version);
  if (!entry) return pathRefusal(plan.executable, "an autostart entry", "it holds a control character");
  const std::string entryName(autostartEntryName(wanted));
  if (auto failure = validateEntry(entryName, *entry, runner)) return failure;

  // The service first, so that the entry never starts a host that would find no service to hand over to.
  if (unit) {
    if (auto failure = writeReadable(plan.unitDirectory / unitName, *unit)) return failure;
    if (auto r = systemctlUser(runner, {"daemon-reload"}); r.exitCode != 0) {
      removeFile(plan.unitDirectory / unitName);
      systemctlUser(runner, {"daemon-reload"});
      return describeSystemctlFailure("daemon-reload", r);
    }
  }
  if (auto failure = writeReadable(plan.entryDirectory / entryName, *entry)) {
    if (unit) {
      removeFile(plan.unitDirectory / unitName);
      systemctlUser(runner, {"daemon-reload"});
    }
    return failure;
  }
  removeKind(other, plan);
  retireEarlierUnits(plan, runner);
  if (!plan.keepRunning) systemctlUser(runner, {"daemon-reload"});
  return std::nullopt;
}

std::optional<std::string> removeAutostart(const AutostartInstallPlan& plan, CommandRunner& runner) {
  std::optional<std::string> failure;
  for (auto kind : {AutostartUnitKind::plain, AutostartUnitKind::keepRunning}) {
    for (const auto& path : {plan.entryDirectory / autostartEntryName(kind), plan.unitDirectory / autostartUnitName(kind)}) {
      std::error_code ec;
      std::filesystem::remove(path, ec);
      if (ec && !failure) failure = "cannot remove " + path.string() + ": " + ec.message();
    }
  }
  retireEarlierUnits(plan, runner);
  if (auto r = systemctlUser(runner, {"daemon-reload"}); r.exitCode != 0 && !failure) {
    failure = describeSystemctlFailure("daemon-reload", r);
  }
  return failure;
}

bool autostartRegistered(AutostartUnitKind kind, const AutostartInstallPlan& plan) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(plan.entryDirectory / autostartEntryName(kind), ec)) return false;
  return kind == AutostartUnitKind::plain ||
         std::filesystem::is_regular_file(plan.unitDirectory / autostartUnitName(kind), ec);
}

std::optional<std::string> applyAutostartWish(const AutostartInstallPlan& plan, bool launchAtLogin,
                                              CommandRunner& runner) {
  return launchAtLogin ? installAutostart(plan, runner) : removeAutostart(plan, runner);
}

}  // namespace tavlo
