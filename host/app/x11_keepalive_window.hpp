#pragma once
// The compositor keepalive's window on X11: 2 × 2 pixels, override-redirect (no window manager frames
// or focuses it), nearly transparent where the server has a 32-bit visual, at the virtual display's
// top-left corner plus one pixel. While it is shown its opacity sweeps between 0.9 and 1.0 and back,
// one sweep every 1/30 s: each step sets `_NET_WM_WINDOW_OPACITY`, which compositors blend with, and
// repaints the window, so that the compositor and the display's capture see real damage and keep
// drawing. The steps run on the scheduler's thread, on this window's own connection.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <xcb/xcb.h>

#include "host/controller/session_watchers.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

// One sweep of the opacity, from one end to the other, and how often the window is redrawn.
inline constexpr uint64_t keepaliveSweepUs = 1'000'000 / 30;
inline constexpr double keepaliveOpacityLow = 0.9;
inline constexpr double keepaliveOpacityHigh = 1.0;
// The opacity `sinceShownUs` after the window came up: 0.9 rising to 1.0 over one sweep, falling back
// over the next, and so on.
double keepaliveOpacityAt(uint64_t sinceShownUs);

class X11KeepaliveWindow final : public KeepaliveWindow {
 public:
  // `virtualDisplay` gives the output id of the virtual display, none without one.
  static std::unique_ptr<X11KeepaliveWindow> open(const std::string& display, Scheduler& scheduler,
                                                  std::function<std::optional<uint32_t>()> virtualDisplay,
                                                  std::string* error);
  ~X11KeepaliveWindow() override;
  bool show() override;
  void hide() override;

 private:
  X11KeepaliveWindow(std::shared_ptr<XcbConnection> connection, Scheduler& scheduler,
                     std::function<std::optional<uint32_t>()> virtualDisplay)
      : connection_(std::move(connection)), scheduler_(scheduler), virtualDisplay_(std::move(virtualDisplay)) {}
  void create();
  void startAnimation();

  // Shared with the animation's steps: a step under way when the window goes keeps it open.
  std::shared_ptr<XcbConnection> connection_;
  Scheduler& scheduler_;
  std::function<std::optional<uint32_t>()> virtualDisplay_;
  xcb_window_t window_ = 0;
  xcb_atom_t opacityAtom_ = XCB_ATOM_NONE;
  ScopedTimer animation_;  // armed while shown
};

}  // namespace tavlo
