#pragma once
// The steps of tavlo-host and the state they share. runHostProgram (host_program.cpp) runs them in
// order; each step lives in a file of its own: the desktop and the tray (host_program_desktop.cpp), the
// controller with the host's parts (host_program_controller.cpp), the start of the instance that runs
// the host (host_program_instance.cpp), the main loop and the end (host_program_end.cpp).
//
// The members are declared in the order the program makes them and go in the reverse order: the main
// executor outlives everything that posts to it, the controller goes before the parts it was wired to.
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "host/app/desktop_backend_choice.hpp"
#include "host/app/host_options.hpp"
#include "host/app/host_parts_wiring.hpp"
#include "host/app/session_backends.hpp"
#include "platform/runtime/command_runner.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/line_writer.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/secret_store.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {

class ClipboardWiring;
class HostController;
class InputPermissionWatchdog;
class UpdateWiring;
class VirtualDisplayController;
namespace ui {
class TrayRuntime;
}

// The version people read and the build number that orders updates: this build's own.
std::string hostVersionNumber();
std::string hostBuildNumber();
// What the login and device units are written for: a unit of another release is rewritten.
std::string unitVersion();

// The deletes of the router's mappings go out before the process ends, unless the router keeps them past
// a limit (host_program_end.cpp).
void drainRouterMappingQueues();

class HostProgram {
 public:
  explicit HostProgram(const HostOptions& options);
  ~HostProgram();
  HostProgram(const HostProgram&) = delete;
  HostProgram& operator=(const HostProgram&) = delete;

  // The desktop served (said at start), the virtual-display controller and the sessions' backends.
  void chooseDesktop();
  // The tray icon and panels, when a display is open and they are wanted.
  void openTray();
  // The controller, with every part of the host plugged into its seams.
  void makeController();
  // The log file, a missing tray, where clients connect once the host listens, the end on a listen error.
  void announce();
  // On the main executor: the controller's start and, once this instance runs the host, its own steps.
  void startOnMainExecutor();
  // The tray's event loop, or the main executor's, until the quit; the exit status.
  int runMainLoop();
  // The steps of the end that need no window system, in order.
  void endInOrder();
  // After the loop: the parts go, a staged update is installed, standard output is flushed.
  void finish();

 private:
  // What only the instance that runs the host does (host_program_instance.cpp).
  void startRunningInstance();
  void installVirtualDevices();
  void startTrayApp();
  // Standard output, from the writer's thread.
  void say(std::string text);

  const HostOptions options_;
  const std::unique_ptr<LineWriter> standardOutput_;
  MainExecutor main_;
  const std::shared_ptr<ThreadScheduler> schedulerOwner_;
  ThreadScheduler& scheduler_;
  const std::shared_ptr<Settings> settingsOwner_;
  Settings& settings_;
  KeyValueStore keyValueStore_;
  FileSecretStore secrets_;
  const std::string hostName_;
  DesktopChoice desktop_;
  std::shared_ptr<VirtualDisplayController> displays_;
  // What waits for the X server to switch the physical displays (their restore and its settling, the
  // re-disables while a session streams) runs here, never on the main executor.
  std::shared_ptr<SerialExecutor> displayWorker_;
  std::shared_ptr<const SessionBackends> sessions_;
  HostController* controllerInUse_ = nullptr;
  // Made before the controller so that the event loop drives the main executor from the controller's
  // first post on. Its icon and menu come only once this instance runs the host.
  std::unique_ptr<ui::TrayRuntime> tray_;
  // Without a Qt platform to show the icon the host runs headless, and says why.
  std::optional<std::string> noTray_;
  // The login units are read and changed on a worker of their own, and the answers come back on the
  // main executor: each step is a systemctl run, and a user manager that hangs holds one for its D-Bus
  // timeout, which neither the tray nor the settings window may wait out.
  std::shared_ptr<SerialExecutor> autostartWorker_;
  // Every systemctl of the login units and the virtual devices ends with this once the program ends.
  std::shared_ptr<CommandStop> commandStop_;
  // The controller, for the parts wired before it exists; empty again once it is gone.
  std::shared_ptr<std::weak_ptr<HostController>> controllerRef_;
  std::unique_ptr<UpdateWiring> updates_;
  RunningInstanceSteps runningSteps_;
  std::unique_ptr<ClipboardWiring> clipboard_;
  std::shared_ptr<HostController> controller_;
  std::promise<void> deviceInstallationEnded_;
  std::future<void> deviceInstallationDone_;
  std::thread deviceInstallation_;
  std::shared_ptr<InputPermissionWatchdog> inputWatch_;
};

}  // namespace tavlo
