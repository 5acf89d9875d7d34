#include "host/app/host_program.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "e2e/e2e_identity.hpp"
#include "host/app/session_backends.hpp"
#include "host/controller/host_controller.hpp"
#include "host/desktop/cam_sink_feeder.hpp"
#include "host/desktop/default_input_guard.hpp"
#include "host/desktop/mailbox_camera_sinks.hpp"
#include "host/desktop/mic_shm_writer.hpp"
#include "platform/pulse/pulse_audio_devices.hpp"
#include "host/desktop/virtual_display_controller.hpp"
#include "host/reachability/bonjour_advertiser.hpp"
#include "host/reachability/probe_responder.hpp"
#include "platform/display/xorg_display_system.hpp"
#include "platform/runtime/base64.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/secret_store.hpp"

namespace tavlo {
namespace {

// The computer's name for clients; "Mac" when it has none.
std::string computerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
  return "Mac";
}

int exitCodeFor(HostExit reason) {
  switch (reason) {
    case HostExit::signal: return HostExitCode::ok;
    case HostExit::handedOverToService: return HostExitCode::ok;
    case HostExit::secondInstance: return HostExitCode::anotherInstance;
  }
  return HostExitCode::ok;
}

void say(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
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

// The parts of the host that exist, plugged into the controller's start-up, listening and sessions.
// `controller` is the one the seams serve, set once it exists.
void wireParts(HostControllerSeams& seams, const std::shared_ptr<VirtualDisplayController>& displays,
               const std::shared_ptr<const SessionBackends>& sessions, HostController* const& controller,
               Scheduler& scheduler) {
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
  auto inputGuard = std::shared_ptr<DefaultInputGuard>(new DefaultInputGuard(*audioDevices, SteadyClock::shared()),
                                                       [audioDevices](DefaultInputGuard* guard) { delete guard; });
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
  if (std::shared_ptr<MicShmWriter> microphone = MicShmWriter::create()) {
    seams.writeMicrophone = [microphone](ByteView pcm) { microphone->write(pcm); };
  }
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
}

}  // namespace

std::string reachLines(const std::string& hostName, uint16_t controlPort, const std::string& hostID,
                       const std::string& signingKeyBase64, std::optional<bool> persistentIdentity) {
  const std::string port = std::to_string(controlPort);
  std::string text = "tavlo-host: clients connect to " + hostName + " (any address of this machine) on port " + port +
                     ": TCP " + port + " control, UDP " + std::to_string(controlPort + 1) + "-" +
                     std::to_string(controlPort + 3) + " media and input, UDP " + std::to_string(controlPort + 4) +
                     " probes\n";
  text += "tavlo-host: host ID " + hostID + ", signing key (Base64) " + signingKeyBase64;
  if (persistentIdentity) {
    text += *persistentIdentity ? ", kept across restarts" : ", in memory only (clients must trust it again next run)";
  }
  text += "\n";
  return text;
}

int runHostProgram(const HostOptions& options) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
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
  auto displays = openDisplays(options.display, settings);
  std::shared_ptr<const SessionBackends> sessions = openSessionBackends(displays, options.display, schedulerOwner,
                                                                        settingsOwner);
  HostController* controllerInUse = nullptr;

  HostController::Dependencies deps{
      .main = main,
      .scheduler = scheduler,
      .settings = settings,
      .keyValueStore = keyValueStore,
      .identity = [&secrets, &settings] { return vela::E2EIdentity::shared({secrets, settings}); },
      .hostName = hostName,
  };
  if (options.port) deps.preferredPort = *options.port;
  deps.launchedByService = [] { return launchedByUserService(hostServiceUnit); };
  deps.exit = [&main](HostExit reason) { main.quit(exitCodeFor(reason)); };
  deps.sharedDisplay = displays;
  wireParts(deps.seams, displays, sessions, controllerInUse, scheduler);
  auto controller = HostController::create(std::move(deps));
  controllerInUse = controller.get();

  if (const auto& path = controller->logFilePath()) say("tavlo-host: log file " + path->string() + "\n");
  // Printed after the listening step's own lines (a job of its own on the main executor).
  controller->isListening.observe([&](bool listening) {
    if (!listening) return;
    main.post([&] {
      auto identity = vela::E2EIdentity::shared({secrets, settings});
      const auto& key = identity->signingPublicKey();
      say(reachLines(hostName, controller->controlPortInUse(), identity->hostID().uuidString(),
                     base64Encode(ByteView(key.data(), key.size())), std::nullopt));
    });
  });
  // Without a listener this program has nothing to serve: it ends instead of idling.
  controller->status.observe([&](const std::string& text) {
    if (text.starts_with("Listen error: ")) {
      controller->applicationWillTerminate();
      main.quit(HostExitCode::notListening);
    }
  });

  main.post([&] { controller->start(); });
  int code = main.run();
  controller->flushLog();
  // The display controller's hook posts to this main executor: it goes first.
  VirtualDisplayController::setLogSink(nullptr);
  controller.reset();
  return code;
}

}  // namespace tavlo
