// Which desktop the host serves, decided at start: a table of environments (session type, what the
// session bus and the X server offer) against the backend chosen and what start-up tells the user; and
// which RandR outputs count as ones a virtual display can take.
#include "host/app/desktop_backend_choice.hpp"

#include <gtest/gtest.h>

#include "platform/display/randr_layout.hpp"
#include "platform/display/xorg_display_system.hpp"

namespace tavlo {
namespace {

std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& line : lines) all += line + "\n";
  return all;
}

XServerFacts xServer(std::optional<std::string> freeOutput, std::optional<std::string> unusable = std::nullopt) {
  return XServerFacts{.display = ":0", .unusable = std::move(unusable), .freeOutput = std::move(freeOutput)};
}

TEST(DesktopBackendChoice, FollowsTheSessionAndWhatItsServersOffer) {
  struct Row {
    const char* what;
    DesktopFacts facts;
    DesktopBackend backend;
    const char* said;     // in the lines start-up prints
    const char* refusal;  // nullptr: clients are served
  };
  const Row rows[] = {
      {"a dummy Xorg with a free output", {.x = xServer("DUMMY1")}, DesktopBackend::x11VirtualDisplays,
       "virtual display of its own size on a free output (DUMMY1)", nullptr},
      {"Xvfb or a desktop on modesetting: no free output", {.sessionType = "x11", .x = xServer(std::nullopt)},
       DesktopBackend::x11MainDisplay, "clients get its main display instead", nullptr},
      {"no X server at all", {}, DesktopBackend::none, "no X server to drive", "no X server to drive"},
      {"an X server without XTEST", {.x = xServer("DUMMY1", "no XTEST extension for the client's input")},
       DesktopBackend::none, "cannot be driven (no XTEST", "cannot be driven"},
      {"GNOME on Wayland, served", {.waylandDisplay = "wayland-0", .mutterScreenCast = true, .gnomeServed = true},
       DesktopBackend::gnomeSession, "virtual monitor of this session", nullptr},
      {"GNOME on Wayland, not served by this build",
       {.waylandDisplay = "wayland-0", .mutterScreenCast = true, .x = xServer(std::nullopt)}, DesktopBackend::none,
       "GNOME on Wayland is not served by this build yet", "not served"},
      // Xwayland's screen shows only X windows: its main display would stream a black desktop.
      {"KDE on Wayland with Xwayland as $DISPLAY",
       {.waylandDisplay = "wayland-0", .sessionType = "wayland", .currentDesktop = "KDE", .x = xServer(std::nullopt)},
       DesktopBackend::none, "KDE on Wayland is not served", "KDE on Wayland is not served"},
      {"a wlroots compositor that names only the session type", {.sessionType = "wayland"}, DesktopBackend::none,
       "this desktop on Wayland is not served", "not served"},
      {"GNOME whose bus the host does not reach", {.waylandDisplay = "wayland-0", .currentDesktop = "ubuntu:GNOME"},
       DesktopBackend::none, "DBUS_SESSION_BUS_ADDRESS", "not served"},
      // The X server named on the command line is the one asked for, inside any session.
      {"--display inside a Wayland session",
       {.displayNamed = true, .waylandDisplay = "wayland-0", .mutterScreenCast = true, .x = xServer("DUMMY3")},
       DesktopBackend::x11VirtualDisplays, "(DUMMY3)", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const DesktopChoice choice = chooseDesktopBackend(row.facts);
    EXPECT_EQ(choice.backend, row.backend);
    const std::string said = joined(choice.lines);
    EXPECT_NE(said.find(row.said), std::string::npos) << said;
    for (const auto& line : choice.lines) EXPECT_TRUE(line.starts_with("tavlo-host: ")) << line;
    if (row.refusal) {
      EXPECT_NE(choice.refusal.find(row.refusal), std::string::npos) << choice.refusal;
      EXPECT_NE(said.find("clients are refused"), std::string::npos) << said;
    } else {
      EXPECT_TRUE(choice.refusal.empty()) << choice.refusal;
      EXPECT_EQ(said.find("refused"), std::string::npos) << said;
    }
  }
}

// Every line that refuses or falls back says what to do instead.
TEST(DesktopBackendChoice, SaysWhatToDoWhereItCannotServeADisplayOfTheClientsSize) {
  for (const DesktopFacts& facts : {DesktopFacts{}, DesktopFacts{.x = xServer(std::nullopt)},
                                    DesktopFacts{.sessionType = "wayland", .currentDesktop = "sway"}}) {
    const std::string said = joined(chooseDesktopBackend(facts).lines);
    EXPECT_NE(said.find("scripts/run"), std::string::npos) << said;
  }
  const std::string kde = joined(chooseDesktopBackend({.waylandDisplay = "w", .currentDesktop = "KDE"}).lines);
  EXPECT_NE(kde.find("served are GNOME on Wayland"), std::string::npos) << kde;
}

TEST(TakeableOutput, OnlyAFreeOutputThatShowsAModeWithoutAMonitorOrOneAlreadyOurs) {
  struct Row {
    const char* name;
    bool connected, shown, ours, hasCrtc;
    bool takeable;
  };
  const Row rows[] = {
      {"DUMMY3", false, false, false, true, true},        // the dummy driver's spare head
      {"VIRTUAL1", false, false, false, true, true},      // the Intel driver's virtual head
      {"DUMMY0", true, true, false, true, false},         // shown: the physical display
      {"DUMMY2", true, false, true, true, true},          // ours from an earlier session, now off
      {"DUMMY2", true, true, true, true, false},          // ours but shown (a session uses it)
      {"HDMI-2", false, false, false, true, false},       // modesetting refuses a mode with nothing plugged in
      {"DP-1", true, false, false, true, false},          // a monitor switched off: the user's
      {"screen", true, true, false, true, false},         // Xvfb's only output
      {"DUMMY5", false, false, false, false, false},      // no CRTC can show it
  };
  for (const Row& row : rows) {
    RandrOutput output;
    output.id = 7;
    output.name = row.name;
    output.connected = row.connected;
    if (row.hasCrtc) output.crtcs = {1};
    EXPECT_EQ(outputCanBeTaken(output, row.shown, row.ours), row.takeable)
        << row.name << " connected=" << row.connected << " shown=" << row.shown << " ours=" << row.ours;
  }
}

}  // namespace
}  // namespace tavlo
