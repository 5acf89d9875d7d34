// The injector through XTEST into a private dummy Xorg: where the pointer lands, which keysyms a test
// window receives, and how a scroll arrives.
#include <gtest/gtest.h>
#include <poll.h>
#include <xcb/randr.h>

#include <chrono>
#include <cstring>

#include "hostcore/engines/input_injector.hpp"
#include "platform/input/xtest_poster.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

constexpr uint16_t kWidth = 1280, kHeight = 720;
constexpr int16_t kLeft = 2048;  // right of DUMMY0, which is on at 2048×1536

// Turns DUMMY1 on at (kLeft, 0) in a new 1280×720 mode, growing the screen to hold it; its output id.
uint32_t addOutput(const XcbConnection& connection) {
  xcb_connection_t* c = connection.get();
  auto resources = xcbOwn(xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, connection.root()), nullptr));
  if (!resources) return 0;
  uint32_t output = 0;
  for (const auto& out : queryOutputs(connection)) {
    if (out.name == "DUMMY1") output = out.outputId;
  }
  auto info = xcbOwn(xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, XCB_CURRENT_TIME), nullptr));
  if (!info || xcb_randr_get_output_info_crtcs_length(info.get()) == 0) return 0;
  const xcb_randr_crtc_t crtc = xcb_randr_get_output_info_crtcs(info.get())[0];

  const char name[] = "test1280x720";
  xcb_randr_mode_info_t mode{};
  mode.width = kWidth;
  mode.height = kHeight;
  mode.dot_clock = 74'250'000;
  mode.hsync_start = 1390;
  mode.hsync_end = 1430;
  mode.htotal = 1650;
  mode.vsync_start = 725;
  mode.vsync_end = 730;
  mode.vtotal = 750;
  mode.name_len = sizeof name - 1;
  auto created = xcbOwn(
      xcb_randr_create_mode_reply(c, xcb_randr_create_mode(c, connection.root(), mode, sizeof name - 1, name), nullptr));
  if (!created) return 0;
  if (xcbOwn(xcb_request_check(c, xcb_randr_add_output_mode_checked(c, output, created->mode)))) return 0;
  const uint16_t width = kLeft + kWidth, height = 1536;
  if (xcbOwn(xcb_request_check(c, xcb_randr_set_screen_size_checked(c, connection.root(), width, height,
                                                                     width * 254 / 960, height * 254 / 960)))) {
    return 0;
  }
  xcb_randr_output_t outputs[] = {output};
  auto set = xcbOwn(xcb_randr_set_crtc_config_reply(
      c,
      xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, resources->config_timestamp, kLeft, 0, created->mode,
                                XCB_RANDR_ROTATION_ROTATE_0, 1, outputs),
      nullptr));
  return set && set->status == XCB_RANDR_SET_CONFIG_SUCCESS ? output : 0;
}

// Events of one type that reach the connection: waits up to two seconds for `expected` of them, then a
// little longer for any more.
std::vector<XcbReply<xcb_generic_event_t>> waitForEvents(const XcbConnection& connection, uint8_t type,
                                                          size_t expected) {
  std::vector<XcbReply<xcb_generic_event_t>> events;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  bool extraTime = false;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!extraTime && events.size() >= expected) {
      extraTime = true;
      deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    }
    while (xcb_generic_event_t* raw = xcb_poll_for_event(connection.get())) {
      auto event = xcbOwn(raw);
      if ((event->response_type & 0x7F) == type) events.push_back(std::move(event));
    }
    pollfd p{xcb_get_file_descriptor(connection.get()), POLLIN, 0};
    poll(&p, 1, 50);
  }
  return events;
}

xcb_keysym_t firstKeysym(const XcbConnection& connection, xcb_keycode_t keycode) {
  auto reply = xcbOwn(
      xcb_get_keyboard_mapping_reply(connection.get(), xcb_get_keyboard_mapping(connection.get(), keycode, 1), nullptr));
  return reply && reply->keysyms_per_keycode > 0 ? xcb_get_keyboard_mapping_keysyms(reply.get())[0] : 0;
}

// A window over the whole new output that takes the keyboard focus and reports keys and buttons.
xcb_window_t openWindow(const XcbConnection& connection) {
  xcb_connection_t* c = connection.get();
  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, connection.root(), kLeft, 0, kWidth, kHeight, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, connection.screen()->root_visual, XCB_CW_EVENT_MASK, &mask);
  xcb_map_window(c, window);
  xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // everything above is done
  return window;
}

class XTestPosterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.failureText();
    std::string error;
    connection = XcbConnection::open(server.display(), &error);
    ASSERT_NE(connection, nullptr) << error;
    output = addOutput(*connection);
    ASSERT_NE(output, 0u) << "DUMMY1 could not be turned on";
  }

  std::shared_ptr<XTestPoster> openPoster() {
    std::string error;
    auto poster = XTestPoster::open(server.display(), &error);
    EXPECT_NE(poster, nullptr) << error;
    return poster;
  }

  testkit::XorgServer server;
  std::unique_ptr<XcbConnection> connection;
  uint32_t output = 0;
};

TEST_F(XTestPosterTest, AMoveLandsOnTheOutputsPixelAtEitherScaleAndAScrollArrivesAsWheelClicks) {
  for (int32_t scale : {1, 2}) {
    ASSERT_TRUE(setOutputScale(*connection, output, scale));
    auto poster = openPoster();
    ASSERT_TRUE(poster && poster->hasPermission());
    vela::InputInjector injector(poster);
    injector.setDisplay(output, 0, 0);
    EXPECT_EQ(injector.displayBounds(), (ScreenRect{kLeft / double(scale), 0, kWidth / double(scale),
                                                    kHeight / double(scale)}));
    vela::PointerMoveBatch move;
    move.samples = {{32768, 32768, 0}};
    injector.inject(move);
    ASSERT_TRUE(poster->cursorPosition());  // a round trip: the server has moved the pointer
    auto pointer = xcbOwn(
        xcb_query_pointer_reply(connection->get(), xcb_query_pointer(connection->get(), connection->root()), nullptr));
    ASSERT_TRUE(pointer);
    EXPECT_NEAR(pointer->root_x, kLeft + 640, 1) << "scale " << scale;
    EXPECT_NEAR(pointer->root_y, 360, 1) << "scale " << scale;
  }

  openWindow(*connection);
  vela::InputInjector injector(openPoster());
  injector.setDisplay(output, 0, 0);
  vela::ScrollEvent scroll;
  scroll.deltaY = -3 * WheelAccumulator::pixelsPerClick;  // three wheel steps down
  injector.inject(scroll);
  const auto clicks = waitForEvents(*connection, XCB_BUTTON_PRESS, 3);
  ASSERT_EQ(clicks.size(), 3u);
  for (const auto& click : clicks) EXPECT_EQ(reinterpret_cast<xcb_button_press_event_t*>(click.get())->detail, 5);
}

TEST_F(XTestPosterTest, KeysAndTextReachAWindowWithTheirKeysymsAndCommandIsSuper) {
  openWindow(*connection);
  auto poster = openPoster();
  ASSERT_TRUE(poster);
  auto injector = std::make_unique<vela::InputInjector>(poster);
  vela::KeyEvent a;
  a.hidUsagePage = 0x07;
  a.hidUsage = 0x04;
  for (bool down : {true, false}) {
    a.down = down;
    injector->inject(a);
  }
  injector->inject(vela::TextInput{"aż"});
  a.modifiers = vela::KeyModifiers::leftCmd;
  a.down = true;
  injector->inject(a);
  injector->releaseAll();

  const auto presses = waitForEvents(*connection, XCB_KEY_PRESS, 5);
  std::vector<xcb_keysym_t> keysyms;
  for (const auto& press : presses) {
    keysyms.push_back(firstKeysym(*connection, reinterpret_cast<xcb_key_press_event_t*>(press.get())->detail));
  }
  constexpr xcb_keysym_t superL = 0xFFEB;
  EXPECT_EQ(keysyms, (std::vector<xcb_keysym_t>{'a', 'a', 0x100017C, superL, 'a'}));
  ASSERT_EQ(presses.size(), 5u);
  EXPECT_TRUE(reinterpret_cast<xcb_key_press_event_t*>(presses[4].get())->state & XCB_MOD_MASK_4);

  // A keymap loaded meanwhile that takes the keycode of "ż" keeps it: the next "ż" goes elsewhere.
  const auto textKeycode = reinterpret_cast<xcb_key_press_event_t*>(presses[2].get())->detail;
  const xcb_keysym_t takenBy[] = {'q', 'Q'};
  xcb_change_keyboard_mapping(connection->get(), 1, textKeycode, 2, takenBy);
  free(xcb_get_input_focus_reply(connection->get(), xcb_get_input_focus(connection->get()), nullptr));
  injector->inject(vela::TextInput{"ż"});
  const auto again = waitForEvents(*connection, XCB_KEY_PRESS, 1);
  ASSERT_EQ(again.size(), 1u);
  const auto otherKeycode = reinterpret_cast<xcb_key_press_event_t*>(again[0].get())->detail;
  EXPECT_NE(otherKeycode, textKeycode);
  EXPECT_EQ(firstKeysym(*connection, otherKeycode), 0x100017Cu);
  EXPECT_EQ(firstKeysym(*connection, textKeycode), xcb_keysym_t('q'));

  // The keycodes bound for text are unbound when the poster goes; the one taken is left alone.
  injector.reset();
  poster.reset();
  EXPECT_EQ(firstKeysym(*connection, otherKeycode), 0u);
  EXPECT_EQ(firstKeysym(*connection, textKeycode), xcb_keysym_t('q'));
}

}  // namespace
}  // namespace tavlo
