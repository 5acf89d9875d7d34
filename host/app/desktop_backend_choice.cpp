#include "host/app/desktop_backend_choice.hpp"

namespace tavlo {
namespace {

constexpr const char* prefix = "tavlo-host: ";
// What this host serves, for the lines of a desktop it does not.
constexpr const char* served =
    "served are GNOME on Wayland (a virtual monitor of the session) and X servers (a virtual display on a free "
    "output, else the main display)";
constexpr const char* privateXorg = "scripts/run --private-xorg runs the host on a private X server of its own";

DesktopChoice refuse(std::string refusal, std::vector<std::string> advice) {
  DesktopChoice choice;
  choice.backend = DesktopBackend::none;
  choice.lines.push_back(prefix + std::string("desktop: ") + refusal + ": clients are refused");
  for (auto& line : advice) choice.lines.push_back(prefix + std::move(line));
  choice.refusal = std::move(refusal);
  return choice;
}

DesktopChoice chooseWayland(const DesktopFacts& facts) {
  if (facts.mutterScreenCast && facts.gnomeServed) {
    DesktopChoice choice;
    choice.backend = DesktopBackend::gnomeSession;
    choice.lines.push_back(std::string(prefix) + "desktop: GNOME on Wayland — each client gets a virtual monitor of this session");
    return choice;
  }
  if (facts.mutterScreenCast) {
    return refuse("GNOME on Wayland is not served by this build yet",
                  {"served are X servers (a virtual display on a free output, else the main display); " +
                   std::string(privateXorg)});
  }
  // Xwayland's screen shows only X windows, so neither its virtual displays nor its main display would
  // show the desktop: nothing of it is served.
  const std::string name = facts.currentDesktop.empty() ? "this desktop" : facts.currentDesktop;
  std::vector<std::string> advice{std::string(served) + "; " + privateXorg};
  if (facts.currentDesktop.find("GNOME") != std::string::npos) {
    advice.insert(advice.begin(), "mutter's screen cast does not answer on the session bus: is DBUS_SESSION_BUS_ADDRESS "
                                  "the desktop session's?");
  }
  return refuse(name + " on Wayland is not served", std::move(advice));
}

DesktopChoice chooseX(const DesktopFacts& facts) {
  if (!facts.x) {
    return refuse("no X server to drive (DISPLAY is not set)",
                  {"run the host in a desktop session, name an X server with --display :N, or start it with "
                   "scripts/run, which starts a private one"});
  }
  const XServerFacts& x = *facts.x;
  if (x.unusable) {
    return refuse("the X server " + x.display + " cannot be driven (" + *x.unusable + ")",
                  {"name a running X server with --display :N, or start the host with scripts/run, which starts a "
                   "private one"});
  }
  DesktopChoice choice;
  if (x.freeOutput) {
    choice.backend = DesktopBackend::x11VirtualDisplays;
    choice.lines.push_back(prefix + std::string("desktop: X server ") + x.display +
                           " — each client gets a virtual display of its own size on a free output (" + *x.freeOutput +
                           ")");
    return choice;
  }
  choice.backend = DesktopBackend::x11MainDisplay;
  choice.lines.push_back(prefix + std::string("desktop: X server ") + x.display +
                         " has no output the host can take for a virtual display (its driver shows no mode on a free "
                         "output, or every output is in use): clients get its main display instead, at the main "
                         "display's size");
  choice.lines.push_back(prefix + std::string("for a display of each client's own size, run the host on an Xorg with "
                                              "the dummy driver: ") +
                         privateXorg);
  return choice;
}

}  // namespace

bool isWaylandSession(const DesktopFacts& facts) {
  return !facts.displayNamed && (!facts.waylandDisplay.empty() || facts.sessionType == "wayland");
}

DesktopChoice chooseDesktopBackend(const DesktopFacts& facts) {
  return isWaylandSession(facts) ? chooseWayland(facts) : chooseX(facts);
}

}  // namespace tavlo
