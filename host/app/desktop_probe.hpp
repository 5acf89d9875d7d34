#pragma once
// What the desktop backend's choice needs to know, gathered at start: the session's environment, whether
// mutter's screen cast answers on the session bus (only in a Wayland session), and what the X server
// offers (only outside one, or when the command line names it). Each look is quick and bounded.
#include <memory>
#include <optional>
#include <string>

#include "host/app/desktop_backend_choice.hpp"

namespace tavlo {

class XorgDisplaySystem;

// `display` is the command line's X server; `gnomeServed` whether this build has the GNOME backends.
// The X server's display system, when it was opened, is handed over in `xSystem`: a server that resets
// once its last client leaves (Xvfb) would refuse the next connection for a moment.
DesktopFacts probeDesktop(const std::optional<std::string>& display, bool gnomeServed,
                          std::shared_ptr<XorgDisplaySystem>* xSystem = nullptr);

// What the X server `display` (empty: $DISPLAY) offers the host; its display system in `xSystem`.
XServerFacts probeXServer(const std::string& display, std::shared_ptr<XorgDisplaySystem>* xSystem = nullptr);

// Whether the session bus has an owner for `name`; false without a named session bus or an answer
// within the bound.
bool sessionBusHasOwner(const std::string& name);

}  // namespace tavlo
