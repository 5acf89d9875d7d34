// What the program says once the controller exists, its start on the main executor, and what only the
// instance that runs the host does: its tray icon and menu, the microphone ring, the virtual devices,
// the default input's repair and the input watch.
#include <utility>

#include "e2e/e2e_identity.hpp"
#include "host/app/autostart_wiring.hpp"
#include "host/app/clipboard_wiring.hpp"
#include "host/app/cursor_wiring.hpp"
#include "host/app/host_program.hpp"
#include "host/app/host_program_steps.hpp"
#include "host/app/settings/settings_window.hpp"
#include "host/app/ui/tray_runtime.hpp"
#include "host/app/update_wiring.hpp"
#include "host/app/x11_desktop_needs.hpp"
#include "host/controller/host_controller.hpp"
#include "host/controller/session_watchers.hpp"
#include "host/controller/virtual_device_installer.hpp"
#include "hostcore/engines/input_injector.hpp"
#include "platform/runtime/base64.hpp"

namespace tavlo {

void HostProgram::announce() {
  if (const auto& path = controller_->logFilePath()) say("tavlo-host: log file " + path->string() + "\n");
  if (noTray_) controller_->log("🪟 bez ikony w zasobniku (" + *noTray_ + ") — host działa bez interfejsu");
  if (tray_) {
    std::weak_ptr<HostController> controller = controller_;
    tray_->watchTrayHost(options_.display.value_or(""), [controller](const std::string& line) {
      if (auto running = controller.lock()) running->log(line);
    });
  }
  // Printed after the listening step's own lines (a job of its own on the main executor).
  controller_->isListening.observe([this](bool listening) {
    if (!listening) return;
    main_.post([this] {
      auto identity = vela::E2EIdentity::shared(vela::E2EIdentity::programStores(secrets_, settings_));
      const auto& key = identity->signingPublicKey();
      say(reachLines(hostName_, controller_->controlPortInUse(), identity->hostID().uuidString(),
                     base64Encode(ByteView(key.data(), key.size())), std::nullopt, desktop_.refusal));
    });
  });
  // Without a listener this program has nothing to serve: it ends instead of idling.
  controller_->status.observe([this](const std::string& text) {
    if (text.starts_with("Listen error: ")) {
      controller_->applicationWillTerminate();
      main_.quit(HostExitCode::notListening);
    }
  });
}

void HostProgram::startOnMainExecutor() {
  // Once the single-instance decision is made, at once or when a standby instance takes over; a second
  // instance that quits never runs the instance's steps, so it touches nothing the running one owns.
  main_.post([this] {
    controller_->start();
    if (controller_->bootstrapped()) {
      startRunningInstance();
    } else if (controller_->standby.get()) {
      controller_->standby.observe([this, started = false](bool waiting) mutable {
        if (waiting || std::exchange(started, true)) return;
        startRunningInstance();
      });
    }
  });
}

void HostProgram::startRunningInstance() {
  runningSteps_.openMicrophoneRing();
  installVirtualDevices();
  if (tray_) startTrayApp();
  if (displays_) inputWatch_ = startInputPermissionWatch(scheduler_, main_, options_.display, *controller_);
}

void HostProgram::installVirtualDevices() {
  // The virtual camera's and microphone's daemons are installed beside this program as user services
  // (or brought up to date) once per start, off the main executor: systemctl may take its time.
  deviceInstallation_ = std::thread([log = controller_->logSink(), repair = runningSteps_.repairDefaultInput,
                                     commandStop = commandStop_, ended = std::move(deviceInstallationEnded_)]() mutable {
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
}

void HostProgram::startTrayApp() {
  ui::TrayHooks hooks;
  hooks.quit = [this] {
    controller_->applicationWillTerminate();
    main_.quit(HostExitCode::ok);
  };
  // Made at the first opening; the tray application keeps it, so the pane and history stay as left.
  hooks.makeSettingsWindow = [this] {
    SettingsWindowDependencies windowDeps{.settings = settings_};
    windowDeps.updates.version = hostVersionNumber();
    windowDeps.updates.build = hostBuildNumber();
    windowDeps.updates.checkNow = updates_->checkNow();
    windowDeps.updates.running = updates_->running();
    windowDeps.updates.feedHost = updates_->feedHost();
    windowDeps.autostart = settingsWindowAutostart(main_, scheduler_, settings_, autostartWorker_, commandStop_,
                                                   controller_->logSink());
    windowDeps.toggleDiagnosticsHud = [this] {
      if (tray_->app()) tray_->app()->toggleDiagnostics();
    };
    // The X11 backend's needs; the GNOME backend names and checks its own (mutter's screen cast and
    // remote desktop), unchecked here until it does.
    if (desktop_.backend != DesktopBackend::gnomeSession) {
      windowDeps.desktop = x11DesktopNeeds(options_.display, autostartWorker_, main_, [this] {
        if (inputWatch_) inputWatch_->check();
      });
    }
    return std::make_unique<SettingsWindow>(*controller_, std::move(windowDeps));
  };
  hooks.loadDiagnosticsWanted = [&settings = settings_] { return settings.getBool("tl.diagHUD").value_or(false); };
  hooks.storeDiagnosticsWanted = [&settings = settings_](bool on) { settings.set("tl.diagHUD", JsonValue(on)); };
  hooks.setClientForcePath = [this](const std::string& path) { controller_->setClientForcePath(path); };
  hooks.lastOptionClickNs = [] { return vela::InputInjector::lastOptionClickNs(); };
  hooks.uptimeNs = [] { return SteadyClock::shared().nowUs() * 1000; };
  tray_->startApp(*controller_, std::move(hooks));
  if (PasteboardBridge* bridge = clipboard_->bridge()) {
    bridge->clipXfer.observe([this](const std::optional<ClipXferState>& xfer) {
      if (!tray_->app()) return;
      std::optional<ui::ClipTransfer> shown;
      if (xfer) shown = ui::ClipTransfer{xfer->dir == vela::ClipDir::send, xfer->peer, xfer->sent, xfer->total, xfer->done};
      tray_->app()->updateClipPanel(shown);
    });
  }
}

}  // namespace tavlo
