// The watchers' X11 side on a private dummy Xorg: the RandR change watch wakes on a switched-off output,
// the cursor tracker reading XFIXES sends an I-beam for a window with the "xterm" cursor under the pointer
// and an arrow back over the root's left_ptr, the keepalive window is mapped on input, its opacity swept
// while it shows, and unmapped after 3 s of silence; the input-permission watch tells a server that went
// away from a missing XTEST.
#include <gtest/gtest.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xfixes.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/app/cursor_wiring.hpp"
#include "host/app/x11_keepalive_window.hpp"
#include "host/app/xfixes_cursor_source.hpp"
#include "host/controller/cursor_tracker.hpp"
#include "host/controller/session_watchers.hpp"
#include "platform/x11/randr_change_watch.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "tests/host/app/keepalive_probe.hpp"
#include "tests/host/controller/controller_test_kit.hpp"
#include "tests/host/controller/fake_session.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds within = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class WatchersOnXorg : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.failureText();
    x = XcbConnection::open(server.display(), &error);
    ASSERT_NE(x, nullptr) << error;
  }
  // A glyph of the core cursor font named as a cursor theme names it.
  xcb_cursor_t namedCursor(uint16_t glyph, const std::string& name) {
    xcb_connection_t* c = x->get();
    const xcb_font_t font = xcb_generate_id(c);
    xcb_open_font(c, font, 6, "cursor");
    const xcb_cursor_t cursor = xcb_generate_id(c);
    xcb_create_glyph_cursor(c, cursor, font, font, glyph, uint16_t(glyph + 1), 0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF);
    xcb_xfixes_query_version_unchecked(c, 2, 0);
    xcb_xfixes_set_cursor_name(c, cursor, uint16_t(name.size()), name.c_str());
    xcb_close_font(c, font);
    return cursor;
  }

  testkit::XorgServer server;
  std::string error;
  std::unique_ptr<XcbConnection> x;
};

TEST_F(WatchersOnXorg, TheLayoutWatchWakesWhenAnOutputIsSwitchedOff) {
  std::atomic<int> changes{0};
  auto watch = RandrChangeWatch::open(server.display(), [&] { ++changes; }, &error);
  ASSERT_NE(watch, nullptr) << error;
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(changes.load(), 0) << "nothing changed yet";

  const auto outputs = queryOutputs(*x);
  const auto on = std::find_if(outputs.begin(), outputs.end(), [](const OutputGeometry& o) { return o.enabled(); });
  ASSERT_NE(on, outputs.end());
  xcb_connection_t* c = x->get();
  auto reply = xcbOwn(xcb_randr_set_crtc_config_reply(
      c, xcb_randr_set_crtc_config(c, on->crtcId, XCB_CURRENT_TIME, XCB_CURRENT_TIME, 0, 0, XCB_NONE,
                                   XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
      nullptr));
  ASSERT_NE(reply, nullptr);
  EXPECT_TRUE(eventually([&] { return changes.load() > 0; })) << "no wake-up for a switched-off output";
  watch.reset();  // joins its thread
}

TEST_F(WatchersOnXorg, TheTrackerSendsAnIBeamOverATextWindowAndAnArrowOverTheRoot) {
  xcb_connection_t* c = x->get();
  const xcb_cursor_t arrow = namedCursor(68, "left_ptr");  // XC_left_ptr
  const xcb_cursor_t text = namedCursor(152, "xterm");     // XC_xterm
  xcb_change_window_attributes(c, x->root(), XCB_CW_CURSOR, &arrow);
  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {1, text};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, x->root(), 100, 100, 200, 200, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_CURSOR,
                    values);
  xcb_map_window(c, window);
  xcb_warp_pointer(c, XCB_NONE, x->root(), 0, 0, 0, 0, 150, 150);
  xcb_flush(c);

  std::shared_ptr<XFixesCursorSource> source = XFixesCursorSource::open(server.display(), &error);
  ASSERT_NE(source, nullptr) << error;
  ASSERT_TRUE(eventually([&] {
    auto now = source->current();
    return now && now->name == "xterm";
  })) << "XFIXES never named the window's cursor";

  FakeClock clock;
  ManualScheduler scheduler{clock};
  auto session = std::make_shared<controllertest::FakeSession>();
  std::vector<std::string> lines;
  auto tracker = CursorTracker::create({
      *source,
      scheduler,
      [](std::function<void()> job) { job(); },
      [session]() -> std::shared_ptr<ControlledSession> { return session; },
      [] { return false; },
      [] { return std::optional<DisplayWidths>(); },
      [&lines](const std::string& line) { lines.push_back(line); },
  });
  tracker->sync();
  scheduler.advanceBy(100'000);
  ASSERT_EQ(session->cursorImages.size(), 1u);
  EXPECT_EQ(session->cursorImages[0].shape, vela::CursorShape::iBeam);
  EXPECT_GT(session->cursorImages[0].width, 0);
  scheduler.advanceBy(500'000);
  EXPECT_EQ(session->cursorImages.size(), 1u) << "one image while the cursor stays the same";

  xcb_warp_pointer(c, XCB_NONE, x->root(), 0, 0, 0, 0, 20, 20);
  xcb_flush(c);
  ASSERT_TRUE(eventually([&] {
    auto now = source->current();
    return now && now->name == "left_ptr";
  }));
  scheduler.advanceBy(100'000);
  ASSERT_EQ(session->cursorImages.size(), 2u);
  EXPECT_EQ(session->cursorImages[1].shape, vela::CursorShape::arrow);
  tracker.reset();
  xcb_destroy_window(c, window);
  xcb_free_cursor(c, text);
  xcb_free_cursor(c, arrow);
  xcb_flush(c);
}

// A keepalive window on the first output, shown and hidden by a keepalive on a manual scheduler.
struct KeepaliveOnXorg {
  KeepaliveOnXorg(XcbConnection& x, const std::string& display) {
    const auto outputs = queryOutputs(x);
    if (outputs.empty()) return;
    const uint32_t outputId = outputs.front().outputId;
    window = X11KeepaliveWindow::open(display, scheduler, [outputId]() -> std::optional<uint32_t> { return outputId; },
                                      &error);
  }
  FakeClock clock;
  ManualScheduler scheduler{clock};
  std::string error;
  std::shared_ptr<X11KeepaliveWindow> window;
};

TEST_F(WatchersOnXorg, TheKeepaliveWindowIsMappedOnInputAndUnmappedThreeSecondsAfter) {
  KeepaliveOnXorg rig(*x, server.display());
  ASSERT_NE(rig.window, nullptr) << rig.error;
  auto& window = rig.window;
  auto& scheduler = rig.scheduler;
  std::vector<std::string> lines;
  auto keepalive = CompositorKeepalive::create(*window, scheduler, [](std::function<void()> job) { job(); },
                                               [&lines](const std::string& line) { lines.push_back(line); });
  EXPECT_FALSE(keepaliveWindowShown(*x));
  keepalive->noteInputActivity();
  EXPECT_TRUE(eventually([&] { return keepaliveWindowShown(*x); })) << "not mapped during input";
  scheduler.advanceBy(2'900'000);
  keepalive->noteInputActivity();
  scheduler.advanceBy(2'900'000);
  EXPECT_TRUE(keepaliveWindowShown(*x)) << "input within 3 s keeps it up";
  scheduler.advanceBy(200'000);
  EXPECT_TRUE(eventually([&] { return !keepaliveWindowShown(*x); })) << "still mapped 3 s after the last input";
}

// While shown, the window's opacity sweeps between 0.9 and 1.0 at 30 Hz and every step repaints it (damage
// a compositor redraws); hidden, it keeps still and no timer of it is left.
TEST_F(WatchersOnXorg, TheKeepaliveWindowsOpacitySweepsWhileShownAndStopsWhenHidden) {
  KeepaliveOnXorg rig(*x, server.display());
  ASSERT_NE(rig.window, nullptr) << rig.error;
  auto keepalive = CompositorKeepalive::create(*rig.window, rig.scheduler, [](std::function<void()> job) { job(); },
                                               [](const std::string&) {});
  keepalive->noteInputActivity();
  std::optional<xcb_window_t> id;
  ASSERT_TRUE(eventually([&] { return (id = keepaliveWindowId(*x, true)).has_value(); })) << "not mapped";

  xcb_connection_t* c = x->get();
  const xcb_query_extension_reply_t* damageExtension = xcb_get_extension_data(c, &xcb_damage_id);
  ASSERT_TRUE(damageExtension && damageExtension->present);
  xcb_damage_query_version_unchecked(c, 1, 1);
  const xcb_damage_damage_t damage = xcb_generate_id(c);
  xcb_damage_create(c, damage, *id, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
  const auto damageEvents = [&] {
    int count = 0;
    while (auto event = xcbOwn(xcb_poll_for_event(c))) {
      if ((event->response_type & 0x7f) == damageExtension->first_event + XCB_DAMAGE_NOTIFY) ++count;
    }
    return count;
  };
  // A new damage object reports the window's whole area once: that report comes before this reply.
  xcbOwn(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  damageEvents();

  constexpr uint32_t opaque = 0xFFFFFFFF;
  const auto inSweep = [](uint32_t v) { return v >= uint32_t(0.9 * opaque) - 1; };
  std::optional<uint32_t> last;
  ASSERT_TRUE(eventually([&] { return (last = windowOpacity(*x, *id)).has_value(); })) << "no opacity at all";
  std::set<uint32_t> seen{*last};
  for (int step = 0; step < 4; ++step) {
    rig.scheduler.advanceBy(keepaliveSweepUs);
    std::optional<uint32_t> now;
    ASSERT_TRUE(eventually([&] { return (now = windowOpacity(*x, *id)) && *now != *last; }))
        << "the opacity stood still at step " << step;
    EXPECT_TRUE(inSweep(*now)) << *now;
    seen.insert(*now);
    last = now;
  }
  EXPECT_GE(seen.size(), 2u);
  int damaged = 0;
  ASSERT_TRUE(eventually([&] { return (damaged += damageEvents()) > 0; })) << "the steps did not repaint the window";

  rig.scheduler.advanceBy(3'000'000);
  ASSERT_TRUE(eventually([&] { return !keepaliveWindowShown(*x); })) << "still shown after 3 s of silence";
  EXPECT_EQ(rig.scheduler.pendingCount(), 0u) << "a timer outlived the window's showing";
  const std::optional<uint32_t> hidden = windowOpacity(*x, *id);
  rig.scheduler.advanceBy(1'000'000);
  EXPECT_EQ(windowOpacity(*x, *id), hidden) << "the opacity changed while hidden";
  xcb_damage_destroy(c, damage);
  xcb_flush(c);
}

// An X server that dies under the host is said to be gone, once, not taken for a missing XTEST.
TEST(InputPermissionWatchOnXorg, AServerThatDiesIsReportedGoneNotAsAMissingPermission) {
  testkit::XorgServer server;
  ASSERT_TRUE(server.start()) << server.failureText();
  controllertest::ControllerRig rig;
  auto controller = rig.startedController();
  auto watch = startInputPermissionWatch(rig.scheduler, rig.main, server.display(), *controller);
  ASSERT_NE(watch, nullptr);
  rig.main.runUntilIdle();
  EXPECT_FALSE(controller->inputBlocked.get()) << "the dummy Xorg offers XTEST";

  server.stop();
  rig.scheduler.advanceBy(5'000'000);
  rig.main.runUntilIdle();
  rig.scheduler.advanceBy(10'000'000);
  rig.main.runUntilIdle();
  EXPECT_TRUE(controller->inputBlocked.get());
  int gone = 0;
  for (const std::string& line : controller->logLines.get()) {
    EXPECT_EQ(line.find("BRAK uprawnienia XTEST"), std::string::npos) << line;
    if (line.find("serwer X zniknął") != std::string::npos) ++gone;
  }
  EXPECT_EQ(gone, 1) << "the server's end said once";
}

}  // namespace
}  // namespace tavlo
