#include "host/app/host_program.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "host/app/autostart_wiring.hpp"
#include "host/app/clipboard_wiring.hpp"
#include "host/app/host_program_steps.hpp"
#include "host/app/standard_output.hpp"
#include "host/app/ui/tray_runtime.hpp"
#include "host/app/update_wiring.hpp"
#include "host/controller/host_controller.hpp"
#include "host/controller/session_watchers.hpp"
#include "host/desktop/virtual_display_controller.hpp"
#include "host/update/host_release.hpp"
#include "platform/runtime/session_bus_address.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {
namespace {

// The computer's name for clients; "Mac" when it has none.
std::string computerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
  return "Mac";
}

}  // namespace

std::string hostVersionNumber() { return runningRelease().version; }
std::string hostBuildNumber() { return runningRelease().build; }
std::string unitVersion() { return hostVersionNumber() + "/" + hostBuildNumber(); }

std::string reachLines(const std::string& hostName, uint16_t controlPort, const std::string& hostID,
                       const std::string& signingKeyBase64, std::optional<bool> persistentIdentity,
                       const std::string& refusal) {
  const std::string port = std::to_string(controlPort);
  const std::string ports = "TCP " + port + " control, UDP " + std::to_string(controlPort + 1) + "-" +
                            std::to_string(controlPort + 3) + " media and input, UDP " +
                            std::to_string(controlPort + 4) + " probes";
  std::string text = refusal.empty()
                         ? "tavlo-host: clients connect to " + hostName + " (any address of this machine) on port " +
                               port + ": " + ports + "\n"
                         : "tavlo-host: listening on port " + port + " (" + ports + "), but every client is refused: " +
                               refusal + "\n";
  text += "tavlo-host: host ID " + hostID + ", signing key (Base64) " + signingKeyBase64;
  if (persistentIdentity) {
    text += *persistentIdentity ? ", kept across restarts" : ", in memory only (clients must trust it again next run)";
  }
  text += "\n";
  return text;
}

int runAutostartAction(HostOptions::AutostartAction action) {
  auto failure = enforceAutostart(action != HostOptions::AutostartAction::remove,
                                  action == HostOptions::AutostartAction::installKeepRunning);
  if (failure) {
    std::fprintf(stderr, "tavlo-host: autostart: %s\n", failure->c_str());
    return HostExitCode::autostartFailed;
  }
  std::puts(action == HostOptions::AutostartAction::remove ? "tavlo-host: autostart removed"
                                                           : "tavlo-host: autostart installed (from the next login)");
  return HostExitCode::ok;
}

int runHostProgram(const HostOptions& options) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The window-system layers connect to $DISPLAY.
  if (options.display) ::setenv("DISPLAY", options.display->c_str(), 1);
  forbidSessionBusAutolaunch();
  HostProgram program(options);
  program.chooseDesktop();
  program.openTray();
  program.makeController();
  program.announce();
  program.startOnMainExecutor();
  const int code = program.runMainLoop();
  program.endInOrder();
  program.finish();
  return code;
}

HostProgram::HostProgram(const HostOptions& options)
    : options_(options),
      standardOutput_(makeStandardOutput()),
      schedulerOwner_(std::make_shared<ThreadScheduler>()),
      scheduler_(*schedulerOwner_),
      settingsOwner_(std::make_shared<Settings>(Settings::defaultPath(), SystemLog::sink("tavlo-host: settings: "))),
      settings_(*settingsOwner_),
      keyValueStore_(KeyValueStore::defaultPath(), SystemLog::sink("tavlo-host: key-value store: ")),
      hostName_(computerName()),
      deviceInstallationDone_(deviceInstallationEnded_.get_future()) {}

HostProgram::~HostProgram() = default;

void HostProgram::say(std::string text) { standardOutput_->add(std::move(text)); }

}  // namespace tavlo
