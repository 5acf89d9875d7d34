#pragma once
// Which desktop the host serves, and how, decided once at start from the environment and a quick look
// at the session bus and the X server: a GNOME Wayland session through mutter, an X server with a free
// output through virtual displays, an X server without one by streaming its main display, or nothing
// (clients are refused). The decision is a pure function of what start-up saw, with the lines that
// tell the person at the machine what was chosen and what to do.
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

enum class DesktopBackend {
  gnomeSession,        // mutter's virtual monitors, screen cast and remote desktop
  x11VirtualDisplays,  // a virtual display per client on a free RandR output
  x11MainDisplay,      // no free output: the main display is streamed (mirrored)
  none,                // nothing to drive: clients are refused
};

// What the X server offers the host.
struct XServerFacts {
  std::string display{};                 // the name connected to (":0")
  std::optional<std::string> unusable{}; // why it cannot be driven at all (unreachable, no RandR, no XTEST)
  std::optional<std::string> freeOutput{};  // the output a virtual display would take
};

// What start-up saw.
struct DesktopFacts {
  // The X server named on the command line: the one asked for, whatever desktop session runs.
  bool displayNamed = false;
  std::string waylandDisplay{};  // $WAYLAND_DISPLAY
  std::string sessionType{};     // $XDG_SESSION_TYPE
  std::string currentDesktop{};  // $XDG_CURRENT_DESKTOP, to name the desktop
  bool mutterScreenCast = false;  // the session bus has org.gnome.Mutter.ScreenCast
  bool gnomeServed = false;       // this build has the GNOME session backends
  // The X server ($DISPLAY or the one named); none when no X server was given.
  std::optional<XServerFacts> x{};
};

struct DesktopChoice {
  DesktopBackend backend = DesktopBackend::none;
  // Why clients are refused (backend none), for the line that says where the host listens.
  std::string refusal{};
  // What start-up says, each a line for standard output without its newline.
  std::vector<std::string> lines{};
};

bool isWaylandSession(const DesktopFacts& facts);
DesktopChoice chooseDesktopBackend(const DesktopFacts& facts);

}  // namespace tavlo
