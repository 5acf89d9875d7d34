#pragma once
// Whether the desktop session names its D-Bus session bus. Without an address libdbus autolaunches a
// bus of its own: it forks a helper from this threaded process and, in the child, runs what is not safe
// after a fork (it hung there, and the host's exit behind it). A desktop session always names its bus,
// and a host must not start one of its own: anything that reaches the session bus asks this first.
//
// Libraries do not ask (Qt's D-Bus looks for a tray's notifier host when the tray icon is made, and its
// main thread waits for the answer): so a program names, before its first thread, an address nobody
// listens on when the session names none and the user has no bus of its own ($XDG_RUNTIME_DIR/bus, which
// libdbus would find by itself). Connecting there fails at once, and this address counts as none named.
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace tavlo {

inline constexpr std::string_view noSessionBusAddress = "unix:path=/nonexistent/no-session-bus";

inline bool sessionBusNamed() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  return address && *address && address != noSessionBusAddress;
}

// At the start of a program, before any thread runs: see above.
inline void forbidSessionBusAutolaunch() {
  if (sessionBusNamed()) return;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ignored;
  if (runtime && *runtime && std::filesystem::exists(std::filesystem::path(runtime) / "bus", ignored)) return;
  ::setenv("DBUS_SESSION_BUS_ADDRESS", noSessionBusAddress.data(), 1);
}

}  // namespace tavlo
