// Waking the screen of a private dummy Xorg: a running screen saver ends. (The dummy driver powers no
// monitors, so its server offers no DPMS: the waker leaves that step out there.)
#include "platform/power/x11_screen_waker.hpp"

#include <gtest/gtest.h>
#include <xcb/screensaver.h>

#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

uint8_t screenSaverState(const XcbConnection& x) {
  xcb_connection_t* c = x.get();
  auto info = xcbOwn(xcb_screensaver_query_info_reply(c, xcb_screensaver_query_info(c, x.root()), nullptr));
  return info ? info->state : 0xFF;
}

TEST(X11ScreenWaker, EndsARunningScreenSaver) {
  testkit::XorgServer server;
  ASSERT_TRUE(server.start()) << server.failureText();
  std::string error;
  auto x = XcbConnection::open(server.display(), &error);
  ASSERT_NE(x, nullptr) << error;
  auto waker = X11ScreenWaker::open(server.display(), &error);
  ASSERT_NE(waker, nullptr) << error;
  xcb_connection_t* c = x->get();
  xcb_set_screen_saver(c, 600, 0, XCB_BLANKING_PREFERRED, XCB_EXPOSURES_ALLOWED);
  xcb_force_screen_saver(c, XCB_SCREEN_SAVER_ACTIVE);
  ASSERT_EQ(screenSaverState(*x), XCB_SCREENSAVER_STATE_ON);

  waker->wake();
  EXPECT_EQ(screenSaverState(*x), XCB_SCREENSAVER_STATE_OFF);
  waker->wake();  // an awake screen stays so
  EXPECT_EQ(screenSaverState(*x), XCB_SCREENSAVER_STATE_OFF);
  EXPECT_TRUE(x->healthy());
}

}  // namespace
}  // namespace tavlo
