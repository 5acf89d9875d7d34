#pragma once
// The text focus watcher of the host's desktop (AT-SPI2), plugged into the controller's seams: clients
// show their keyboard when a text field of the host has the focus.
#include <optional>
#include <string>

#include "host/controller/host_controller_seams.hpp"
#include "platform/runtime/scheduler.hpp"

namespace tavlo {

// Without an accessibility layer on `display` the seams stay empty (and the watcher logs why).
void wireTextFocus(HostControllerSeams& seams, Scheduler& scheduler, const std::optional<std::string>& display);

}  // namespace tavlo
