#include "host/controller/virtual_device_installer.hpp"

#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <thread>

#include "platform/runtime/private_files.hpp"

namespace tavlo {
namespace fs = std::filesystem;

namespace {

// User units may be read by anyone (systemd does not need more); only the owner writes them.
constexpr unsigned kUnitFileMode = 0644;

std::string firstLine(const std::string& text) {
  auto end = text.find('\n');
  return end == std::string::npos ? text : text.substr(0, end);
}

}  // namespace

fs::path VirtualDeviceInstaller::defaultUnitDirectory() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') return fs::path(xdg) / "systemd/user";
  if (const char* home = std::getenv("HOME"); home && *home == '/') return fs::path(home) / ".config/systemd/user";
  return {};
}

fs::path VirtualDeviceInstaller::executableDirectory() {
  std::error_code ec;
  auto self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path{} : self.parent_path();
}

VirtualDeviceInstaller::VirtualDeviceInstaller(Config config, CommandRunner& runner, LogSink log, LogSink systemLog)
    : config_(std::move(config)), runner_(runner), log_(std::move(log)), systemLog_(std::move(systemLog)) {}

fs::path VirtualDeviceInstaller::locateDaemon(const fs::path& directory, const std::string& name,
                                              bool useBuiltDaemons) {
  const fs::path beside = directory / name;
  if (::access(beside.c_str(), X_OK) == 0 || !useBuiltDaemons) return beside;
  const char* built = nullptr;
#if defined(TAVLO_BUILT_CAMD) && defined(TAVLO_BUILT_MICD)
  if (name == "tavlo-camd") built = TAVLO_BUILT_CAMD;
  if (name == "tavlo-micd") built = TAVLO_BUILT_MICD;
#endif
  if (built && ::access(built, X_OK) == 0) return built;
  return beside;
}

DaemonUnit VirtualDeviceInstaller::microphoneUnit() const {
  return {"tavlo-micd.service", "Tavlo Mic (virtual microphone)", locateDaemon(config_.daemonDirectory, "tavlo-micd", config_.useBuiltDaemons)};
}

DaemonUnit VirtualDeviceInstaller::cameraUnit() const {
  return {"tavlo-camd.service", "Tavlo Camera (virtual camera)", locateDaemon(config_.daemonDirectory, "tavlo-camd", config_.useBuiltDaemons)};
}

bool VirtualDeviceInstaller::stayedUp(const std::string& unitName, std::string& failure) {
  if (config_.sleep) {
    config_.sleep(config_.settleTime);
  } else {
    std::this_thread::sleep_for(config_.settleTime);
  }
  if (!systemctl({"is-active", unitName}, failure, "active")) return false;
  // The manager restarts a daemon that exits (Restart=on-failure): "active" again, but crash-looping.
  auto result = runner_.run({"systemctl", "--user", "show", unitName, "--property=NRestarts", "--value"});
  const std::string restarts = firstLine(result.output);
  if (result.exitCode != 0 || restarts != "0") {
    failure = unitName + ": demon restartowany " + restarts + "× od startu";
    return false;
  }
  return true;
}

bool VirtualDeviceInstaller::systemctl(const std::vector<std::string>& arguments, std::string& failure,
                                       const char* expectOutput) {
  std::vector<std::string> argv = {"systemctl", "--user"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto result = runner_.run(argv);
  bool ok = result.exitCode == 0 && (!expectOutput || firstLine(result.output) == expectOutput);
  if (!ok) {
    failure = "systemctl --user";
    for (const auto& argument : arguments) failure += " " + argument;
    failure += ": " + (result.output.empty() ? "exit " + std::to_string(result.exitCode) : firstLine(result.output));
  }
  return ok;
}

VirtualDeviceInstaller::Attempt VirtualDeviceInstaller::ensureUnit(const DaemonUnit& unit,
                                                                   const std::function<void()>& installing) {
  Attempt attempt;
  auto text = renderDaemonUnit(unit, config_.version);
  if (!text) {
    attempt.failure = "ścieżka demona nie nadaje się do pliku usługi: " + unit.executable.string();
    return attempt;
  }
  if (::access(unit.executable.c_str(), X_OK) != 0) {
    attempt.failure = "brak demona: " + unit.executable.string();
    return attempt;
  }
  if (config_.unitDirectory.empty()) {
    attempt.failure = "brak katalogu usług użytkownika (HOME)";
    return attempt;
  }
  const fs::path path = config_.unitDirectory / unit.unitName;
  auto installed = readWholeFile(path);
  const bool upToDate = installed && toString(*installed) == *text;
  std::string ignored;
  if (upToDate && systemctl({"is-enabled", unit.unitName}, ignored, "enabled") &&
      systemctl({"is-active", unit.unitName}, ignored, "active")) {
    attempt.state = State::current;
    return attempt;
  }

  installing();
  std::error_code ec;
  fs::create_directories(config_.unitDirectory, ec);
  if (!upToDate) {
    if (auto error = writeFileAtomically(path, toBytes(*text), kUnitFileMode)) {
      attempt.failure = *error;
      return attempt;
    }
    if (!systemctl({"daemon-reload"}, attempt.failure)) return attempt;
  }
  // A rewritten unit replaces a daemon of the old version that may still run; an unchanged one only
  // needs starting.
  if (!systemctl({"enable", unit.unitName}, attempt.failure)) return attempt;
  if (!systemctl({upToDate ? "start" : "restart", unit.unitName}, attempt.failure)) return attempt;
  if (!systemctl({"is-enabled", unit.unitName}, attempt.failure, "enabled")) return attempt;
  if (!stayedUp(unit.unitName, attempt.failure)) return attempt;
  attempt.state = State::installed;
  return attempt;
}

VirtualDeviceInstaller::Outcome VirtualDeviceInstaller::ensureVirtualDevices() {
  Outcome outcome;
  auto mic = ensureUnit(microphoneUnit(), [this] {
    if (log_) log_("🎙 instalacja wirtualnego mikrofonu (usługa użytkownika tavlo-micd)…");
  });
  outcome.microphoneReady = mic.state != State::failed;
  if (mic.state == State::installed && log_) log_("🎙 ✅ mikrofon Tavlo dostępny");
  if (mic.state == State::failed && log_) log_("🎙 ❌ instalacja: " + mic.failure);

  auto camera = ensureUnit(cameraUnit(), [this] {
    if (log_) log_("📷 zgłoszono aktywację wirtualnej kamery");
  });
  outcome.cameraReady = camera.state != State::failed;
  if (camera.state == State::installed && systemLog_) systemLog_("Tavlo: 📷 aktywacja kamery wynik=0");
  if (camera.state == State::failed && systemLog_) {
    systemLog_("Tavlo: 📷 aktywacja kamery NIEUDANA: " + camera.failure);
  }
  return outcome;
}

}  // namespace tavlo
