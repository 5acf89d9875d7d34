#pragma once
// The watchers that follow the active session, plugged into the controller's `syncCursorTracking` seam:
// the cursor-shape tracker on the X server's cursor, and the isolation enforcer that keeps the physical
// displays off while a client streams.
#include <memory>
#include <optional>
#include <string>

#include "host/controller/host_controller_seams.hpp"
#include "host/controller/session_watchers.hpp"
#include "host/desktop/virtual_display_controller.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {

class HostController;

// `controller` is set once the controller exists; the seam is first called after that. The isolation
// checks run on `displayWorker`, after and before the other display work handed to it.
void wireSessionWatchers(HostControllerSeams& seams, Scheduler& scheduler, MainExecutor& main,
                         const std::shared_ptr<VirtualDisplayController>& displays,
                         const std::shared_ptr<SerialExecutor>& displayWorker,
                         const std::optional<std::string>& display, HostController* const& controller);

// Watches every 5 s whether the X server still injects input (XTEST) and publishes `inputBlocked`;
// runs while the returned watchdog is held. Empty when the server cannot be reached.
std::shared_ptr<InputPermissionWatchdog> startInputPermissionWatch(Scheduler& scheduler, MainExecutor& main,
                                                const std::optional<std::string>& display, HostController& controller);

}  // namespace tavlo
