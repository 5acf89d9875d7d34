// The controller, with every part of the host that exists plugged into its seams.
#include <cstdio>
#include <cstdlib>

#include "e2e/e2e_identity.hpp"
#include "host/app/autostart_wiring.hpp"
#include "host/app/clipboard_wiring.hpp"
#include "host/app/cursor_wiring.hpp"
#include "host/app/desktop_session_wiring.hpp"
#include "host/app/host_program_steps.hpp"
#include "host/app/relay_wiring.hpp"
#include "host/app/router_port_mappers.hpp"
#include "host/app/text_focus_wiring.hpp"
#include "host/app/ui/tray_app.hpp"
#include "host/app/ui/tray_runtime.hpp"
#include "host/app/update_wiring.hpp"
#include "host/controller/host_controller.hpp"
#include "host/reachability/reachability_runtime.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {
namespace {

int exitCodeFor(HostExit reason) {
  switch (reason) {
    case HostExit::signal: return HostExitCode::ok;
    case HostExit::handedOverToService: return HostExitCode::ok;
    case HostExit::secondInstance: return HostExitCode::anotherInstance;
  }
  return HostExitCode::ok;
}

}  // namespace

void HostProgram::makeController() {
  HostController::Dependencies deps{
      .main = main_,
      .scheduler = scheduler_,
      .settings = settings_,
      .keyValueStore = keyValueStore_,
      .identity = [&secrets = secrets_, &settings = settings_] { return vela::E2EIdentity::shared(vela::E2EIdentity::programStores(secrets, settings)); },
      .hostName = hostName_,
  };
  if (options_.port) deps.preferredPort = *options_.port;
  deps.standardOutput = [this](const std::string& line) { standardOutput_->add(line + "\n"); };
  autostartWorker_ = std::make_shared<SerialExecutor>("tavlo.autostart");
  commandStop_ = std::make_shared<CommandStop>();
  deps.seams.reconcileAutostart =
      makeAutostartReconciliation(main_, scheduler_, settings_, autostartWorker_, commandStop_);
  // An instance a login unit started waits behind an older hand-started one instead of quitting.
  deps.launchedByService = [] { return launchedByLoginUnit(); };
  deps.exit = [&main = main_](HostExit reason) { main.quit(exitCodeFor(reason)); };
  deps.exitAtOnce = [] {
    // The router mapping's delete, which the first signal queued, goes out first.
    drainRouterMappingQueues();
    std::_Exit(HostExitCode::endedAtOnce);
  };
  controllerRef_ = std::make_shared<std::weak_ptr<HostController>>();
  // The updater ends the program as the tray's Quit does; a staged update is installed after the loop.
  updates_ = std::make_unique<UpdateWiring>(deps.seams, main_, scheduler_, settings_, autostartWorker_,
                                            hostVersionNumber(), hostBuildNumber(),
                                            [&main = main_, controllerRef = controllerRef_] {
                                              if (auto controller = controllerRef->lock()) {
                                                controller->applicationWillTerminate();
                                              }
                                              main.quit(HostExitCode::ok);
                                            });
  deps.sharedDisplay = displays_;
  deps.mirrorMainDisplay = desktop_.backend == DesktopBackend::x11MainDisplay;
  if (displayWorker_) {
    deps.seams.runDisplayWork = [displayWorker = displayWorker_](std::function<void()> job) {
      displayWorker->post(std::move(job));
    };
  }
  runningSteps_ = wireParts(deps.seams, displays_, sessions_, controllerInUse_, scheduler_);
  if (displays_) wireTextFocus(deps.seams, scheduler_, options_.display);
  wireDesktopSession(deps.seams, displays_ != nullptr, options_.display);
  wireSessionWatchers(deps.seams, scheduler_, main_, displays_, displayWorker_, options_.display, controllerInUse_);
  // The relay service: the command line's, else the user's setting; without one the host has no relay path.
  const std::optional<std::string> relayAddress = options_.relay ? options_.relay : settings_.getString("tl.relay");
  if (relayAddress) {
    if (std::optional<vela::RelayService> service = parseRelayAddress(*relayAddress)) {
      wireRelayLink(deps.seams, *service, main_, scheduler_, deps.identity,
                    [controllerRef = controllerRef_] { return controllerRef->lock(); });
    } else {
      std::fprintf(stderr, "tavlo-host: the relay setting \"%s\" is not HOST:PORT, no relay\n", relayAddress->c_str());
    }
  }
  clipboard_ = std::make_unique<ClipboardWiring>(deps.seams, options_.display,
                                                 desktop_.backend == DesktopBackend::gnomeSession, main_, scheduler_,
                                                 [controllerRef = controllerRef_] { return controllerRef->lock(); });
  if (tray_) {
    deps.seams.toggleDiagnosticsPanel = [this] {
      if (tray_->app()) tray_->app()->toggleDiagnostics();
    };
  }
  controller_ = HostController::create(std::move(deps));
  controllerInUse_ = controller_.get();
  *controllerRef_ = controller_;
  // What the platform's layers say without an owner listening (the device installer, the display
  // controller, the focus watch, the capture engine) joins the one log, with its prefix and in its file.
  SystemLog::route(controller_->logSink());
}

}  // namespace tavlo
