#pragma once
// The compositor keepalive's window on X11: 2 × 2 pixels, override-redirect (no window manager frames
// or focuses it), nearly transparent where the server has a 32-bit visual, at the virtual display's
// top-left corner plus one pixel.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/controller/session_watchers.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

class X11KeepaliveWindow final : public KeepaliveWindow {
 public:
  // `virtualDisplay` gives the output id of the virtual display, none without one.
  static std::unique_ptr<X11KeepaliveWindow> open(const std::string& display,
                                                  std::function<std::optional<uint32_t>()> virtualDisplay,
                                                  std::string* error);
  ~X11KeepaliveWindow() override;
  bool show() override;
  void hide() override;

 private:
  X11KeepaliveWindow(std::unique_ptr<XcbConnection> connection, std::function<std::optional<uint32_t>()> virtualDisplay)
      : connection_(std::move(connection)), virtualDisplay_(std::move(virtualDisplay)) {}
  void create();

  std::unique_ptr<XcbConnection> connection_;
  std::function<std::optional<uint32_t>()> virtualDisplay_;
  uint32_t window_ = 0;
};

}  // namespace tavlo
