#include "host/app/host_program.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>
#include <utility>

#include "e2e/e2e_identity.hpp"
#include "host/app/clipboard_wiring.hpp"
#include "host/app/desktop_probe.hpp"
#include "host/app/cursor_wiring.hpp"
#include "host/app/desktop_session_wiring.hpp"
#include "host/app/relay_wiring.hpp"
#include "host/app/router_port_mappers.hpp"
#include "host/app/session_backends.hpp"
#include "host/app/text_focus_wiring.hpp"
#include "host/app/update_wiring.hpp"
#include "host/app/settings/settings_window.hpp"
#include "host/app/ui/tray_runtime.hpp"
#include "host/app/ui/window_system_loss_hook.hpp"
#include "host/controller/autostart_installer.hpp"
#include "host/controller/autostart_reconciler.hpp"
#include "host/controller/autostart_unit.hpp"
#include "host/controller/host_controller.hpp"
#include "host/desktop/cam_sink_feeder.hpp"
#include "host/desktop/default_input_guard.hpp"
#include "host/desktop/mailbox_camera_sinks.hpp"
#include "host/desktop/mic_shm_writer.hpp"
#include "platform/pulse/pulse_audio_devices.hpp"
#include "host/controller/link_memory_store.hpp"
#include "host/controller/virtual_device_installer.hpp"
#include "host/desktop/virtual_display_controller.hpp"
#include "host/update/host_release.hpp"
#include "hostcore/session/session_threads.hpp"
#include "host/reachability/bonjour_advertiser.hpp"
#include "host/reachability/probe_responder.hpp"
#include "host/reachability/reachability_runtime.hpp"
#include "hostcore/engines/input_injector.hpp"
#include "platform/display/xorg_display_system.hpp"
#include "platform/runtime/base64.hpp"
#include "platform/runtime/command_runner.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/line_writer.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/secret_store.hpp"

namespace tavlo {
namespace {

// The version people read and the build number that orders updates: this build's own.
std::string hostVersionNumber() { return runningRelease().version; }
std::string hostBuildNumber() { return runningRelease().build; }
// What the login and device units are written for: a unit of another release is rewritten.
std::string unitVersion() { return hostVersionNumber() + "/" + hostBuildNumber(); }

// The computer's name for clients; "Mac" when it has none.
std::string computerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
  return "Mac";
}

// Whether this build serves GNOME Wayland sessions through mutter; until it does, such a session is
// told so at start and its clients are refused.
constexpr bool gnomeBackendBuilt = false;

int exitCodeFor(HostExit reason) {
  switch (reason) {
    case HostExit::signal: return HostExitCode::ok;
    case HostExit::handedOverToService: return HostExitCode::ok;
    case HostExit::secondInstance: return HostExitCode::anotherInstance;
  }
  return HostExitCode::ok;
}

// Lines for standard output wait at most this many; a reader that falls behind loses the oldest.
constexpr size_t standardOutputBacklog = 5'000;

// Standard output from a thread of its own: a pipe nobody reads must stall neither the Qt thread nor
// the end of the program.
std::unique_ptr<LineWriter> makeStandardOutput() {
  return std::make_unique<LineWriter>(
      "tavlo.stdout", standardOutputBacklog,
      [](const std::string& text, const std::atomic<bool>& stopping) {
        LineWriter::writeToDescriptor(STDOUT_FILENO, text, stopping);
      },
      [](uint64_t dropped) {
        return "[HOST] ⚠️ log: wyjście standardowe nie nadąża — pominięto " + std::to_string(dropped) +
               " najstarszych linii\n";
      });
}

// The virtual-display controller on the X server of `display` (empty: $DISPLAY); none, with a line on
// standard error, when there is no server to drive: the host then listens without virtual displays.
std::shared_ptr<VirtualDisplayController> openDisplays(const std::optional<std::string>& display, JsonStore& settings) {
  std::string error;
  auto system = XorgDisplaySystem::open(display.value_or(""), &error);
  if (!system) {
    std::fprintf(stderr, "tavlo-host: no X display for the virtual displays (%s)\n", error.c_str());
    return nullptr;
  }
  return std::make_shared<VirtualDisplayController>(system, settings);
}

// The streaming sessions' backends on the X server of the virtual displays; none, with a line on
// standard error, without that server: the host then refuses clients.
std::shared_ptr<const SessionBackends> openSessionBackends(const std::shared_ptr<VirtualDisplayController>& displays,
                                                           const std::optional<std::string>& display,
                                                           std::shared_ptr<Scheduler> scheduler,
                                                           std::shared_ptr<Settings> settings) {
  if (!displays) return nullptr;
  std::string error;
  auto backends = SessionBackends::open(display.value_or(""), std::move(scheduler), std::move(settings), &error);
  if (!backends) {
    std::fprintf(stderr, "tavlo-host: no input injection on the X display, clients are refused (%s)\n", error.c_str());
    return nullptr;
  }
  return std::make_shared<const SessionBackends>(std::move(*backends));
}

// What the parts below touch that belongs to the instance running the host, done only once this
// instance is that one: a waiting or second instance leaves the running one's ring and input alone.
struct RunningInstanceSteps {
  std::function<void()> openMicrophoneRing;  // main executor, before any session
  std::function<void()> repairDefaultInput;  // off the main executor: it asks the sound server
};

// The parts of the host that exist, plugged into the controller's start-up, listening and sessions.
// `controller` is the one the seams serve, set once it exists.
RunningInstanceSteps wireParts(HostControllerSeams& seams, const std::shared_ptr<VirtualDisplayController>& displays,
                               const std::shared_ptr<const SessionBackends>& sessions,
                               HostController* const& controller, Scheduler& scheduler) {
  if (displays) {
    seams.recoverDisplayIsolation = [displays] { displays->recoverIsolationOnLaunch(); };
    seams.setDisplayLogSink = [](LogSink sink) { VirtualDisplayController::setLogSink(std::move(sink)); };
    seams.setForce1xSuppressed = [](bool on) { VirtualDisplayController::setForce1xSuppressed(on); };
    seams.setActiveForce1x = [](bool on) { VirtualDisplayController::setActiveForce1x(on); };
  }
  if (sessions) {
    seams.prewarmCapture = [sessions] { sessions->prewarmCapture(); };
    seams.makeSession = [sessions, &controller](vela::SessionConfig config) {
      return sessions->makeSession(std::move(config), controller->controlPortInUse());
    };
  }
  // The default audio input follows the client: the virtual microphone while one is connected.
  auto audioDevices = std::make_shared<PulseAudioDevices>();
  // The sound server is asked on a queue of its own: whether the virtual microphone is in use (the
  // session's feedback loop reads the last answer), and the default input's switches at admission and at
  // the session's end, in order, so that neither the feedback loop nor the main executor waits for it.
  auto soundServerQueue = std::make_shared<SerialExecutor>("tl.mic.consumed");
  auto inputGuard = std::shared_ptr<DefaultInputGuard>(
      new DefaultInputGuard(*audioDevices, SteadyClock::shared(),
                            [soundServerQueue](std::function<void()> job) { soundServerQueue->post(std::move(job)); }),
      [audioDevices, soundServerQueue](DefaultInputGuard* guard) {
        soundServerQueue->shutdown();
        delete guard;
      });
  RunningInstanceSteps steps;
  // A default input an earlier run left on the virtual microphone goes back to what it was.
  steps.repairDefaultInput = [inputGuard] { inputGuard->restoreIfStranded(); };
  seams.engageDefaultInput = [inputGuard] { inputGuard->engage(); };
  seams.restoreDefaultInput = [inputGuard] { inputGuard->restore(); };
  seams.isMicrophoneConsumed = [inputGuard] { return inputGuard->micRunningSomewhere(); };
  // The client's camera goes to the camera daemon's sink, which applications read as the virtual camera.
  std::shared_ptr<CamSinkFeeder> camera = CamSinkFeeder::create(std::make_unique<MailboxCameraSinks>(), scheduler);
  seams.pushCameraFrame = [camera](const vela::PixelBuffer& frame) { camera->push(frame); };
  seams.isCameraConsumed = [camera] { return camera->consumedCached(); };
  seams.startCameraWatching = [camera](LogSink log) {
    camera->setOnLog(std::move(log));
    camera->startConsumptionWatcher();
  };
  // The microphone ring the virtual microphone reads; without it the client's microphone is dropped.
  // Opening it writes its header, so it is opened only by the instance that runs the host.
  auto microphone = std::make_shared<std::shared_ptr<MicShmWriter>>();
  steps.openMicrophoneRing = [microphone] { *microphone = MicShmWriter::create(); };
  seams.writeMicrophone = [microphone](ByteView pcm) {
    if (*microphone) (*microphone)->write(pcm);
  };
  // The block is mapped on the user's router with NAT-PMP or UPnP when the reachability policy asks.
  seams.makePortMapper = makeRouterPortMapper;
  // A device's last link estimate seeds its next session's rate control within a minute.
  auto linkMemory = std::make_shared<LinkMemoryStore>(SteadyClock::shared());
  seams.recordLinkSnapshot = [linkMemory](const vela::LinkSnapshot& snapshot) { linkMemory->record(snapshot); };
  seams.linkSeed = [linkMemory](const std::string& deviceKey) { return linkMemory->seed(deviceKey); };
  seams.startProbeResponder = [](uint16_t port, const Uuid& hostID, HostControllerSeams::AllowPeer allowPeer,
                                 LogSink log) -> std::function<void()> {
    auto responder = std::make_shared<ProbeResponder>(hostID, std::move(allowPeer), std::move(log));
    responder->start(port);
    return [responder] { responder->stop(); };
  };
  seams.startBonjour = [](uint16_t port, const Uuid& hostID, const std::string& name,
                          LogSink log) -> std::function<void()> {
    auto advertiser = std::make_shared<BonjourAdvertiser>();
    advertiser->setOnLog(std::move(log));
    advertiser->start(port, hostID, name);
    return [advertiser] { advertiser->stop(); };
  };
  return steps;
}

// How long the end of the program waits for each worker that may be stuck in a command.
constexpr std::chrono::seconds workerExitLimit{2};
// How long start-up waits for the login units' reconciliation before it goes on without it.
constexpr uint64_t autostartAnswerLimitUs = 5'000'000;
// How long the end of the program waits for the physical displays to come back (four passes of 350 ms,
// and a re-disable that may be in progress before them).
constexpr std::chrono::seconds displayRestoreAtExitLimit{3};

// The deletes of the router's mappings go out before the process ends, unless the router keeps them past
// the limit.
void drainRouterMappingQueues() {
  sharedNatPmpQueue()->drainWithin(workerExitLimit);
  sharedUpnpQueue()->drainWithin(workerExitLimit);
}

// A worker stuck past its limit is left behind, never destroyed (that would wait for it): the process
// ends around it.
void leaveBehind(const std::shared_ptr<SerialExecutor>& worker) { new std::shared_ptr<SerialExecutor>(worker); }

// Polls rather than joins: session threads are detached and may hold the last reference to a session.
bool waitForSessionThreads(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (vela::liveSessionThreads() > 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

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

namespace {

// The login unit for this very executable, in the user's unit directory; the failure's text otherwise.
std::optional<AutostartInstallPlan> ownAutostartPlan(bool keepRunning, std::string& failure) {
  auto directory = userUnitDirectory(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  if (!directory) {
    failure = "neither XDG_CONFIG_HOME nor HOME names the user's unit directory";
    return std::nullopt;
  }
  std::error_code ec;
  auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    failure = "cannot find the host's own executable: " + ec.message();
    return std::nullopt;
  }
  return AutostartInstallPlan{
      .unitDirectory = *directory, .executable = executable, .version = unitVersion(), .keepRunning = keepRunning};
}

std::optional<std::string> enforceAutostart(bool launchAtLogin, bool keepRunning) {
  // Stored first, as the settings window does: every later start of the host keeps the units in line
  // with it, so a wish that was not stored would be undone at the next login.
  Settings settings(Settings::defaultPath(), SystemLog::sink("tavlo-host: settings: "));
  storeAutostartWish(settings, launchAtLogin, keepRunning);
  std::string failure;
  auto plan = ownAutostartPlan(keepRunning, failure);
  if (!plan) return failure;
  ProcessCommandRunner runner;
  return applyAutostartWish(*plan, launchAtLogin, runner);
}

// The reconciler for this executable's login units, run on `worker` and logging through `log`.
std::shared_ptr<AutostartReconciler> ownAutostartReconciler(const std::shared_ptr<SerialExecutor>& worker,
                                                            Scheduler& scheduler, JsonStore& settings, LogSink log,
                                                            const std::shared_ptr<CommandStop>& commandStop) {
  AutostartReconcilerDeps autostart{.runner = std::make_shared<ProcessCommandRunner>(commandStop),
                                    .settings = &settings,
                                    .scheduler = &scheduler,
                                    .post = [worker](std::function<void()> job) { worker->post(std::move(job)); },
                                    .plan = std::nullopt,
                                    .noPlanReason = {},
                                    .ownPid = static_cast<int32_t>(::getpid()),
                                    .log = std::move(log)};
  autostart.plan = ownAutostartPlan(false, autostart.noPlanReason);
  return std::make_shared<AutostartReconciler>(std::move(autostart));
}

}  // namespace

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
  const std::unique_ptr<LineWriter> standardOutput = makeStandardOutput();
  auto say = [&standardOutput](std::string text) { standardOutput->add(std::move(text)); };
  // The window-system layers connect to $DISPLAY.
  if (options.display) ::setenv("DISPLAY", options.display->c_str(), 1);

  MainExecutor main;
  auto schedulerOwner = std::make_shared<ThreadScheduler>();
  ThreadScheduler& scheduler = *schedulerOwner;
  auto settingsOwner = std::make_shared<Settings>(Settings::defaultPath(), SystemLog::sink("tavlo-host: settings: "));
  Settings& settings = *settingsOwner;
  KeyValueStore keyValueStore(KeyValueStore::defaultPath(), SystemLog::sink("tavlo-host: key-value store: "));
  FileSecretStore secrets;
  const std::string hostName = computerName();
  const DesktopChoice desktop = chooseDesktopBackend(probeDesktop(options.display, gnomeBackendBuilt));
  for (const auto& line : desktop.lines) say(line + "\n");
  const bool drivesX =
      desktop.backend == DesktopBackend::x11VirtualDisplays || desktop.backend == DesktopBackend::x11MainDisplay;
  auto displays = drivesX ? openDisplays(options.display, settings) : nullptr;
  // What waits for the X server to switch the physical displays (their restore and its settling, the
  // re-disables while a session streams) runs here, never on the main executor.
  std::shared_ptr<SerialExecutor> displayWorker;
  if (displays) displayWorker = std::make_shared<SerialExecutor>("tl.isolation");
  std::shared_ptr<const SessionBackends> sessions = openSessionBackends(displays, options.display, schedulerOwner,
                                                                        settingsOwner);
  HostController* controllerInUse = nullptr;
  // The tray icon and panels, when a display is open and they are wanted; made before the controller so
  // that the event loop drives the main executor from the controller's first post on.
  // Its icon and menu come only once this instance runs the host (see startRunningInstance).
  std::unique_ptr<ui::TrayRuntime> tray;
  // Without a Qt platform or a tray host to show the icon the host runs headless, and says why.
  std::optional<std::string> noTray;
  if (!options.noUi && displays) {
    noTray = ui::TrayRuntime::platformMissing();
    if (!noTray) {
      tray = std::make_unique<ui::TrayRuntime>(main);
      if (!tray->hasTrayHost()) {
        noTray = "no tray host on the desktop";
        tray.reset();
      }
    }
  }

  HostController::Dependencies deps{
      .main = main,
      .scheduler = scheduler,
      .settings = settings,
      .keyValueStore = keyValueStore,
      .identity = [&secrets, &settings] { return vela::E2EIdentity::shared({secrets, settings}); },
      .hostName = hostName,
  };
  if (options.port) deps.preferredPort = *options.port;
  deps.standardOutput = [&standardOutput](const std::string& line) { standardOutput->add(line + "\n"); };
  // The login units are read and changed on a worker of their own, and the answers come back on the
  // main executor: each step is a systemctl run, and a user manager that hangs holds one for its D-Bus
  // timeout, which neither the tray nor the settings window may wait out.
  auto autostartWorker = std::make_shared<SerialExecutor>("tavlo.autostart");
  // Every systemctl of the login units and the virtual devices ends with this once the program ends.
  auto commandStop = std::make_shared<CommandStop>();
  deps.seams.reconcileAutostart = [&main, &scheduler, &settings, autostartWorker, commandStop](
                                      LogSink log, std::function<void(bool)> done) {
    // Start-up goes on without the answer when the user manager takes too long; a late one is ignored.
    auto answered = std::make_shared<bool>(false);  // on the main executor
    auto answer = [done, answered](bool handOver) {
      if (std::exchange(*answered, true)) return;
      done(handOver);
    };
    scheduler.after(autostartAnswerLimitUs, [&main, answer, answered, log] {
      main.post([answer, answered, log] {
        if (*answered) return;
        log("🚀 autostart: menedżer usług nie odpowiada w 5 s — startuję bez uzgodnienia jednostek");
        answer(false);
      });
    });
    autostartWorker->post([&main, &scheduler, &settings, autostartWorker, commandStop, log, answer] {
      ownAutostartReconciler(autostartWorker, scheduler, settings, log, commandStop)
          ->reconcile([&main, answer](bool handOver) { main.post([answer, handOver] { answer(handOver); }); });
    });
  };
  // An instance a login unit started (an earlier version's too, until it is retired) waits behind an
  // older hand-started one instead of quitting.
  deps.launchedByService = [] {
    return launchedByUserService(legacyHostUnitName) ||
           launchedByUserService(autostartUnitName(AutostartUnitKind::plain)) ||
           launchedByUserService(autostartUnitName(AutostartUnitKind::keepRunning));
  };
  deps.exit = [&main](HostExit reason) { main.quit(exitCodeFor(reason)); };
  deps.exitAtOnce = [] {
    // The router mapping's delete, which the first signal queued, goes out first.
    drainRouterMappingQueues();
    std::_Exit(HostExitCode::endedAtOnce);
  };
  // The controller, for the parts wired before it exists; empty again once it is gone.
  auto controllerRef = std::make_shared<std::weak_ptr<HostController>>();
  // The updater ends the program as the tray's Quit does; a staged update is installed after the loop.
  UpdateWiring updates(deps.seams, main, scheduler, settings, autostartWorker, hostVersionNumber(), hostBuildNumber(),
                       [&main, controllerRef] {
                         if (auto controller = controllerRef->lock()) controller->applicationWillTerminate();
                         main.quit(HostExitCode::ok);
                       });
  deps.sharedDisplay = displays;
  deps.mirrorMainDisplay = desktop.backend == DesktopBackend::x11MainDisplay;
  if (displayWorker) {
    deps.seams.runDisplayWork = [displayWorker](std::function<void()> job) { displayWorker->post(std::move(job)); };
  }
  const RunningInstanceSteps runningSteps = wireParts(deps.seams, displays, sessions, controllerInUse, scheduler);
  if (displays) wireTextFocus(deps.seams, scheduler, options.display);
  wireDesktopSession(deps.seams, displays != nullptr, options.display);
  wireSessionWatchers(deps.seams, scheduler, main, displays, displayWorker, options.display, controllerInUse);
  // The relay service: the command line's, else the user's setting; without one the host has no relay path.
  const std::optional<std::string> relayAddress = options.relay ? options.relay : settings.getString("tl.relay");
  if (relayAddress) {
    if (std::optional<vela::RelayService> service = parseRelayAddress(*relayAddress)) {
      wireRelayLink(deps.seams, *service, main, scheduler, deps.identity, [controllerRef] { return controllerRef->lock(); });
    } else {
      std::fprintf(stderr, "tavlo-host: the relay setting \"%s\" is not HOST:PORT, no relay\n", relayAddress->c_str());
    }
  }
  ClipboardWiring clipboard(deps.seams, options.display, main, scheduler, [controllerRef] { return controllerRef->lock(); });
  if (tray) {
    deps.seams.toggleDiagnosticsPanel = [&tray] {
      if (tray->app()) tray->app()->toggleDiagnostics();
    };
  }
  auto controller = HostController::create(std::move(deps));
  controllerInUse = controller.get();
  *controllerRef = controller;

  if (const auto& path = controller->logFilePath()) say("tavlo-host: log file " + path->string() + "\n");
  if (noTray) controller->log("🪟 bez ikony w zasobniku (" + *noTray + ") — host działa bez interfejsu");
  // Printed after the listening step's own lines (a job of its own on the main executor).
  controller->isListening.observe([&](bool listening) {
    if (!listening) return;
    main.post([&] {
      auto identity = vela::E2EIdentity::shared({secrets, settings});
      const auto& key = identity->signingPublicKey();
      say(reachLines(hostName, controller->controlPortInUse(), identity->hostID().uuidString(),
                     base64Encode(ByteView(key.data(), key.size())), std::nullopt, desktop.refusal));
    });
  });
  // Without a listener this program has nothing to serve: it ends instead of idling.
  controller->status.observe([&](const std::string& text) {
    if (text.starts_with("Listen error: ")) {
      controller->applicationWillTerminate();
      main.quit(HostExitCode::notListening);
    }
  });

  std::promise<void> deviceInstallationEnded;
  std::future<void> deviceInstallationDone = deviceInstallationEnded.get_future();
  std::thread deviceInstallation;
  std::shared_ptr<InputPermissionWatchdog> inputWatch;
  // What only the instance that runs the host does: its tray icon and menu, the microphone ring, the
  // virtual devices, the default input's repair and the input watch. Once the single-instance decision
  // is made, at once or when a standby instance takes over; a second instance that quits never does it,
  // so it touches nothing the running one owns.
  auto startRunningInstance = [&] {
    runningSteps.openMicrophoneRing();
    // The virtual camera's and microphone's daemons are installed beside this program as user services
    // (or brought up to date) once per start, off the main executor: systemctl may take its time.
    deviceInstallation = std::thread([log = controller->logSink(), repair = runningSteps.repairDefaultInput, commandStop,
                                      ended = std::move(deviceInstallationEnded)]() mutable {
      repair();
      ProcessCommandRunner runner(commandStop);
      VirtualDeviceInstaller installer(
          {.unitDirectory = VirtualDeviceInstaller::defaultUnitDirectory(),
           .daemonDirectory = VirtualDeviceInstaller::executableDirectory(),
           .version = unitVersion(),
           .sleep = [commandStop](std::chrono::milliseconds duration) { commandStop->sleepFor(duration); }},
          runner, log);
      if (!commandStop->stopped()) installer.ensureVirtualDevices();
      ended.set_value();
    });
    if (tray) {
      ui::TrayHooks hooks;
      hooks.quit = [&] {
        controller->applicationWillTerminate();
        main.quit(HostExitCode::ok);
      };
      // Made at the first opening; the tray application keeps it, so the pane and history stay as left.
      hooks.makeSettingsWindow = [&] {
        SettingsWindowDependencies windowDeps{.settings = settings};
        windowDeps.updates.version = hostVersionNumber();
        windowDeps.updates.build = hostBuildNumber();
        windowDeps.updates.checkNow = updates.checkNow();
        windowDeps.updates.feedHost = updates.feedHost();
        using AutostartState = SettingsWindowDependencies::AutostartState;
        // The user manager asks for no approval: needsSystemApproval stays false.
        windowDeps.autostart.read = [&main, autostartWorker, commandStop](std::function<void(AutostartState)> answer) {
          autostartWorker->post([&main, commandStop, answer = std::move(answer)] {
            ProcessCommandRunner runner(commandStop);
            AutostartState state;
            state.keepRunning = autostartUnitEnabled(AutostartUnitKind::keepRunning, runner);
            state.launchAtLogin = state.keepRunning || autostartUnitEnabled(AutostartUnitKind::plain, runner);
            main.post([answer, state] { answer(state); });
          });
        };
        windowDeps.autostart.enforce = [&main, &scheduler, &settings, autostartWorker, commandStop,
                                        log = controller->logSink()](
                                           bool launchAtLogin, bool keepRunning,
                                           std::function<void(std::optional<std::string>)> answer) {
          autostartWorker->post([=, &main, &scheduler, &settings] {
            auto failure = ownAutostartReconciler(autostartWorker, scheduler, settings, log, commandStop)
                               ->enforce(launchAtLogin, keepRunning, false);
            main.post([answer, failure] { answer(failure); });
          });
        };
        windowDeps.toggleDiagnosticsHud = [&tray] {
          if (tray->app()) tray->app()->toggleDiagnostics();
        };
        windowDeps.requestEventPosting = [&inputWatch] {
          if (inputWatch) inputWatch->check();
        };
        return std::make_unique<SettingsWindow>(*controller, std::move(windowDeps));
      };
      hooks.loadDiagnosticsWanted = [&settings] { return settings.getBool("tl.diagHUD").value_or(false); };
      hooks.storeDiagnosticsWanted = [&settings](bool on) { settings.set("tl.diagHUD", JsonValue(on)); };
      hooks.setClientForcePath = [&](const std::string& path) { controller->setClientForcePath(path); };
      hooks.lastOptionClickNs = [] { return vela::InputInjector::lastOptionClickNs(); };
      hooks.uptimeNs = [] { return SteadyClock::shared().nowUs() * 1000; };
      tray->startApp(*controller, std::move(hooks));
      if (PasteboardBridge* bridge = clipboard.bridge()) {
        bridge->clipXfer.observe([&tray](const std::optional<ClipXferState>& xfer) {
          if (!tray->app()) return;
          std::optional<ui::ClipTransfer> shown;
          if (xfer) shown = ui::ClipTransfer{xfer->dir == vela::ClipDir::send, xfer->peer, xfer->sent, xfer->total, xfer->done};
          tray->app()->updateClipPanel(shown);
        });
      }
    }
    if (displays) inputWatch = startInputPermissionWatch(scheduler, main, options.display, *controller);
  };
  main.post([&] {
    controller->start();
    if (controller->bootstrapped()) {
      startRunningInstance();
    } else if (controller->standby.get()) {
      controller->standby.observe([&, started = false](bool waiting) mutable {
        if (waiting || std::exchange(started, true)) return;
        startRunningInstance();
      });
    }
  });
  // The steps of the end that need no window system, in order.
  auto endInOrder = [&] {
    // Every quit handed the physical displays' restore to the display worker: they are back before the
    // process ends, unless the X server does not answer within the limit.
    if (displayWorker && !displayWorker->drainWithin(displayRestoreAtExitLimit)) {
      SystemLog::write("tavlo-host: the physical displays were not restored in time; leaving the restore behind");
      leaveBehind(displayWorker);
    }
    // From here no systemctl runs, and the ones running are ended: nothing at exit waits on the user manager.
    commandStop->stop();
    // Session loops post to `main`, which ends with this function: close the sessions, refuse further
    // jobs, and let their detached threads finish before anything they reach goes away.
    controller->closeSessionsForExit();
    main.close();
    if (!waitForSessionThreads(std::chrono::seconds(5))) {
      SystemLog::write("tavlo-host: session threads still running 5 s after the sessions were closed");
    }
    // A second or waiting instance never started it.
    if (deviceInstallation.joinable()) {
      if (deviceInstallationDone.wait_for(workerExitLimit) == std::future_status::ready) {
        deviceInstallation.join();
      } else {
        SystemLog::write("tavlo-host: the virtual devices' installation did not end in time; leaving it behind");
        deviceInstallation.detach();
      }
    }
    // Its jobs reach the settings and the scheduler; whatever it is still asked later is dropped.
    if (autostartWorker->drainWithin(workerExitLimit)) {
      autostartWorker->shutdown();
    } else {
      SystemLog::write("tavlo-host: the login units' worker did not end in time; leaving it behind");
      leaveBehind(autostartWorker);
    }
    drainRouterMappingQueues();
    inputWatch.reset();
    controller->flushLog();
  };
  int code = HostExitCode::ok;
  if (tray) {
    // Qt ends the process itself (exit(1)) when its X server goes away: the hook runs the same quit as
    // SIGTERM from there, as far as it goes without the window system, and ends with a status of its own.
    ui::WindowSystemLossHook windowSystemLoss([&] {
      controller->applicationWillTerminate();
      endInOrder();
      updates.finishAtExit();
      standardOutput->flush(std::chrono::seconds(1));
      std::_Exit(HostExitCode::windowSystemGone);
    });
    code = tray->run();
    if (!main.quitStatus()) {
      // The loop ended on its own (the session manager ended the session): the same quit as Quit.
      controller->applicationWillTerminate();
      code = HostExitCode::windowSystemGone;
    }
  } else {
    code = main.run();
  }
  endInOrder();
  // The display controller's hook posts to this main executor: it goes first.
  VirtualDisplayController::setLogSink(nullptr);
  tray.reset();
  controller.reset();
  // A staged update is installed now, with no client left, and the new build started when wanted.
  updates.finishAtExit();
  // What a reader still takes within a second; a pipe nobody reads keeps the rest.
  standardOutput->flush(std::chrono::seconds(1));
  return code;
}

}  // namespace tavlo
