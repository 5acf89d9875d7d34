#pragma once
// The desktop session as the controller meets it, plugged into its seams: the watch of the screen lock
// and of the machine's sleep, the lock state that watch has learnt, waking the displays when a client is
// admitted (the X server's screen saver and DPMS, logind's idle hint), and logind's idle inhibitor while
// a client is connected.
#include <optional>
#include <string>

#include "host/controller/host_controller_seams.hpp"

namespace tavlo {

// Without an X server on `display` (`wakeX` false, or none to reach) only logind is told of the activity.
void wireDesktopSession(HostControllerSeams& seams, bool wakeX, const std::optional<std::string>& display);

}  // namespace tavlo
