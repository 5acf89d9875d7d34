#pragma once
// Wakes the X server's screen as the user's own input would: the screen saver's idle time starts over
// (a running saver ends) and, where the server powers the monitors down (DPMS), they are powered on.
#include <memory>
#include <string>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

class X11ScreenWaker {
 public:
  // On `display` (":N"; empty: $DISPLAY); none, with the reason in `error`, without a server.
  static std::unique_ptr<X11ScreenWaker> open(const std::string& display, std::string* error = nullptr);

  // Waits on the server's answers: not for the main executor.
  void wake();

 private:
  explicit X11ScreenWaker(std::unique_ptr<XcbConnection> x, bool hasDpms) : x_(std::move(x)), hasDpms_(hasDpms) {}

  std::unique_ptr<XcbConnection> x_;
  bool hasDpms_;
};

}  // namespace tavlo
