// The desktop the host serves and the tray it shows there.
#include <cstdio>
#include <memory>

#include "host/app/desktop_probe.hpp"
#include "host/app/gnome_session_backends.hpp"
#include "host/app/host_program_steps.hpp"
#include "host/app/ui/tray_runtime.hpp"
#include "host/desktop/virtual_display_controller.hpp"
#include "platform/display/xorg_display_system.hpp"

namespace tavlo {
namespace {

// This build serves GNOME Wayland sessions through mutter (gnome_session_backends.cpp).
constexpr bool gnomeBackendBuilt = true;

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

}  // namespace

void HostProgram::chooseDesktop() {
  std::shared_ptr<XorgDisplaySystem> xSystem;
  desktop_ = chooseDesktopBackend(probeDesktop(options_.display, gnomeBackendBuilt, &xSystem));
  for (const auto& line : desktop_.lines) say(line + "\n");
  const bool drivesX =
      desktop_.backend == DesktopBackend::x11VirtualDisplays || desktop_.backend == DesktopBackend::x11MainDisplay;
  // The display system the choice looked at: the server keeps a client from the probe on.
  if (drivesX && xSystem) displays_ = std::make_shared<VirtualDisplayController>(xSystem, settings_);
  if (desktop_.backend == DesktopBackend::gnomeSession) {
    std::string error;
    if (auto gnome = openGnomeHost(schedulerOwner_, settingsOwner_, &error)) {
      displays_ = gnome->displays;
      sessions_ = gnome->sessions;
    } else {
      std::fprintf(stderr, "tavlo-host: mutter does not make virtual monitors here, clients are refused (%s)\n",
                   error.c_str());
    }
  }
  if (displays_) displayWorker_ = std::make_shared<SerialExecutor>("tl.isolation");
  if (!sessions_) sessions_ = openSessionBackends(displays_, options_.display, schedulerOwner_, settingsOwner_);
}

void HostProgram::openTray() {
  if (options_.noUi || !displays_) return;
  noTray_ = ui::TrayRuntime::platformMissing();
  if (noTray_) return;
  // A desktop without a tray host yet keeps the tray: its icon appears once a panel with a tray starts
  // (see watchTrayHost, started with the controller).
  tray_ = std::make_unique<ui::TrayRuntime>(main_);
}

}  // namespace tavlo
