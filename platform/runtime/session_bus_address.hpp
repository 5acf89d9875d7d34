#pragma once
// Whether the desktop session names its D-Bus session bus. Without an address libdbus autolaunches a
// bus of its own: it forks a helper from this threaded process and, in the child, runs what is not safe
// after a fork (it hung there, and the host's exit behind it). A desktop session always names its bus,
// and a host must not start one of its own: anything that reaches the session bus asks this first.
#include <cstdlib>

namespace tavlo {

inline bool sessionBusNamed() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  return address && *address;
}

}  // namespace tavlo
