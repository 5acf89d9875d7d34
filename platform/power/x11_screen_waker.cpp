#include "platform/power/x11_screen_waker.hpp"

#include <xcb/dpms.h>

#include <cstdlib>

namespace tavlo {

std::unique_ptr<X11ScreenWaker> X11ScreenWaker::open(const std::string& display, std::string* error) {
  std::unique_ptr<XcbConnection> x = XcbConnection::open(display, error);
  if (!x) return nullptr;
  const bool hasDpms = x->hasExtension("DPMS");
  return std::unique_ptr<X11ScreenWaker>(new X11ScreenWaker(std::move(x), hasDpms));
}

void X11ScreenWaker::wake() {
  xcb_connection_t* c = x_->get();
  // Each step is waited for: once this returns the server has woken the screen.
  std::free(xcb_request_check(c, xcb_force_screen_saver_checked(c, XCB_SCREEN_SAVER_RESET)));
  if (!hasDpms_) return;
  auto info = xcbReplyBy<xcb_dpms_info_reply_t>(c, xcb_dpms_info(c).sequence);
  // With power management switched off the server keeps the monitors on, and refuses to force a level.
  if (info && info->state && info->power_level != XCB_DPMS_DPMS_MODE_ON) {
    std::free(xcb_request_check(c, xcb_dpms_force_level_checked(c, XCB_DPMS_DPMS_MODE_ON)));
  }
}

}  // namespace tavlo
