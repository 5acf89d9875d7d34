#include "platform/power/x11_screen_waker.hpp"

#include <xcb/dpms.h>

namespace tavlo {

std::unique_ptr<X11ScreenWaker> X11ScreenWaker::open(const std::string& display, std::string* error) {
  std::unique_ptr<XcbConnection> x = XcbConnection::open(display, error);
  if (!x) return nullptr;
  const bool hasDpms = x->hasExtension("DPMS");
  return std::unique_ptr<X11ScreenWaker>(new X11ScreenWaker(std::move(x), hasDpms));
}

void X11ScreenWaker::wake() {
  xcb_connection_t* c = x_->get();
  xcb_discard_reply(c, xcb_force_screen_saver_checked(c, XCB_SCREEN_SAVER_RESET).sequence);
  if (hasDpms_) {
    auto info = xcbOwn(xcb_dpms_info_reply(c, xcb_dpms_info(c), nullptr));
    // With power management switched off the server keeps the monitors on, and refuses to force a level.
    if (info && info->state && info->power_level != XCB_DPMS_DPMS_MODE_ON) {
      if (xcb_generic_error_t* e = xcb_request_check(c, xcb_dpms_force_level_checked(c, XCB_DPMS_DPMS_MODE_ON))) {
        std::free(e);
      }
    }
  }
  xcb_flush(c);
}

}  // namespace tavlo
