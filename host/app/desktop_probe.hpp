#pragma once
// What the desktop backend's choice needs to know, gathered at start: the session's environment, whether
// mutter's screen cast answers on the session bus (only in a Wayland session), and what the X server
// offers (only outside one, or when the command line names it). Each look is quick and bounded.
#include <optional>
#include <string>

#include "host/app/desktop_backend_choice.hpp"

namespace tavlo {

// `display` is the command line's X server; `gnomeServed` whether this build has the GNOME backends.
DesktopFacts probeDesktop(const std::optional<std::string>& display, bool gnomeServed);

// What the X server `display` (empty: $DISPLAY) offers the host.
XServerFacts probeXServer(const std::string& display);

// Whether the session bus has an owner for `name`; false without a named session bus or an answer
// within the bound.
bool sessionBusHasOwner(const std::string& name);

}  // namespace tavlo
