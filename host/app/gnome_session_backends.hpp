#pragma once
// The GNOME desktop (mutter on a Wayland session) as the host drives it: one connection to the session
// bus that every part shares (mutter removes what that connection made when it goes), mutter's display
// system whose virtual monitors the controller makes, the registry through which their streams reach
// the capture, and input through mutter's remote-desktop sessions.
#include <memory>
#include <optional>
#include <string>

#include "platform/gnome/bus_connection.hpp"
#include "platform/gnome/mutter_display_system.hpp"
#include "platform/gnome/mutter_event_poster.hpp"
#include "platform/gnome/screen_cast_frames.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/scheduler.hpp"

namespace tavlo {

class SessionBackends;
class VirtualDisplayController;

struct GnomeDesktop {
  std::shared_ptr<BusConnection> bus;
  std::shared_ptr<ScreenCastFrames> frames;
  std::shared_ptr<MutterDisplaySystem> displays;
  std::shared_ptr<MutterEventPoster> poster;

  // On the session bus; none, with the reason in `error`, when mutter's interfaces do not answer there.
  static std::optional<GnomeDesktop> open(std::string* error);
};

// What a host serving a GNOME session runs on: the virtual-display controller over mutter's virtual
// monitors and the streaming sessions' backends, sharing one GnomeDesktop.
struct GnomeHostParts {
  std::shared_ptr<VirtualDisplayController> displays;
  std::shared_ptr<const SessionBackends> sessions;
};

// None, with the reason in `error`, when mutter does not answer on the session bus. `settings` must
// outlive the parts.
std::optional<GnomeHostParts> openGnomeHost(std::shared_ptr<Scheduler> scheduler, std::shared_ptr<Settings> settings,
                                            std::string* error);

}  // namespace tavlo
