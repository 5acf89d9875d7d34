// Input posted through mutter's remote-desktop session reaches a Wayland client on the virtual
// display (weston-eventdemo logs what it receives, its window covering the display), and the pointer
// lands where it was aimed, at scale 1 and at scale 2.
#include "platform/gnome/mutter_event_poster.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "tests/testkit/headless_mutter.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 200; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

class MutterEventPosterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No physical monitor: the client's window can only open on the virtual display.
    ASSERT_TRUE(mutter_.start()) << mutter_.failureText();
    mutter_.applyToThisProcess();
    std::string error;
    bus_ = BusConnection::openSession(&error);
    ASSERT_TRUE(bus_) << error;
    displays_ = MutterDisplaySystem::open({bus_, frames_, {}, {}}, &error);
    ASSERT_TRUE(displays_) << error;
    poster_ = std::make_shared<MutterEventPoster>(displays_, frames_, bus_);
  }

  DisplayId makeDisplay(const VirtualDisplaySettings& settings) {
    const auto id = displays_->createVirtualDisplay({"Tavlo Display"});
    EXPECT_TRUE(id) << mutter_.logs();
    if (!id) return 0;
    EXPECT_TRUE(displays_->applySettings(*id, settings)) << mutter_.logs();
    return *id;
  }

  // A client whose window covers the display and logs what it receives (in its window's points).
  void startEventLog(testkit::ChildProcess& client, const ScreenRect& rect) {
    ASSERT_TRUE(mutter_.startClient(client,
                                    {"stdbuf", "-oL", "weston-eventdemo", "--log-key", "--log-button", "--log-motion",
                                     "--log-axis", "-b", "--width=" + std::to_string(static_cast<int>(rect.width)),
                                     "--height=" + std::to_string(static_cast<int>(rect.height))},
                                    "eventdemo.log"));
  }

  // Whether the client's last motion was at (x, y) of its window.
  static bool lastMotionAt(const std::string& log, double x, double y) {
    const auto at = log.rfind("motion time:");
    if (at == std::string::npos) return false;
    double seenX = -1, seenY = -1;
    if (std::sscanf(log.c_str() + at, "motion time: %*u, x: %lf, y: %lf", &seenX, &seenY) != 2) return false;
    return std::fabs(seenX - x) <= 1 && std::fabs(seenY - y) <= 1;
  }

  // Moves the pointer there until the client has its window mapped and reports the motion.
  bool moveUntilSeen(testkit::ChildProcess& client, ScreenPoint point, uint32_t displayID, double x, double y) {
    return eventually([&] {
      poster_->post(SystemEvent::mouse(SystemEventType::mouseMoved, {point.x + 1, point.y + 1}, 0, displayID));
      poster_->post(SystemEvent::mouse(SystemEventType::mouseMoved, point, 0, displayID));
      poster_->flush();
      return lastMotionAt(client.log(), x, y);
    });
  }

  testkit::HeadlessMutter mutter_;
  std::shared_ptr<BusConnection> bus_;
  std::shared_ptr<ScreenCastFrames> frames_ = std::make_shared<ScreenCastFrames>();
  std::shared_ptr<MutterDisplaySystem> displays_;
  std::shared_ptr<MutterEventPoster> poster_;
};

TEST_F(MutterEventPosterTest, PointerButtonsKeysTextAndWheelReachAClientOnTheVirtualDisplay) {
  const DisplayId id = makeDisplay({false, 1280, 720});
  ASSERT_NE(id, 0u);
  const auto rect = poster_->displayBounds(id);
  ASSERT_TRUE(rect);
  EXPECT_EQ(rect->width, 1280);
  EXPECT_TRUE(poster_->hasPermission());

  testkit::ChildProcess client;
  startEventLog(client, *rect);
  ASSERT_TRUE(moveUntilSeen(client, {rect->x + 640, rect->y + 360}, id, 640, 360)) << client.log() << mutter_.logs();
  const auto position = poster_->cursorPosition();
  ASSERT_TRUE(position);
  EXPECT_NEAR(position->x, rect->x + 640, 1);
  EXPECT_NEAR(position->y, rect->y + 360, 1);

  poster_->post(SystemEvent::mouse(SystemEventType::leftMouseDown, {rect->x + 640, rect->y + 360}, 0, id));
  poster_->post(SystemEvent::mouse(SystemEventType::leftMouseUp, {rect->x + 640, rect->y + 360}, 0, id));
  poster_->flush();
  EXPECT_TRUE(eventually([&] { return client.log().find("button") != std::string::npos; })) << client.log();

  // The click gives the window the keyboard once mutter has activated it: keys sent before that go
  // to no one, so the A key is pressed until the window reports it.
  EXPECT_TRUE(eventually([&] {
    poster_->post(SystemEvent::keyboard(0, 0x04, true));  // the A key
    poster_->post(SystemEvent::keyboard(0, 0x04, false));
    poster_->flush();
    return client.log().find("key: 30, unicode: 97, state: released") != std::string::npos;
  })) << client.log();
  SystemEvent text = SystemEvent::keyboard(0, 0, true);
  text.unicodeString = u"Q";
  poster_->post(text);
  poster_->flush();
  EXPECT_TRUE(eventually([&] { return client.log().find("key: 16, unicode: 81, state: pressed") != std::string::npos; })) << client.log();

  poster_->post(SystemEvent::scroll(-3 * static_cast<int32_t>(WheelAccumulator::pixelsPerClick), 0));
  poster_->flush();
  EXPECT_TRUE(eventually([&] { return client.log().find("axis") != std::string::npos; })) << client.log();
}

TEST_F(MutterEventPosterTest, ThePointerLandsWhereAimedOnAScaledDisplayAndOffItIsHeldAtTheEdge) {
  const DisplayId id = makeDisplay({true, 960, 540});  // 1920×1080 pixels at scale 2
  ASSERT_NE(id, 0u);
  const auto rect = poster_->displayBounds(id);
  ASSERT_TRUE(rect);
  EXPECT_EQ(rect->width, 960);
  EXPECT_EQ(rect->height, 540);
  testkit::ChildProcess client;
  startEventLog(client, *rect);
  // Points of the display are points of the window: a quarter of the way in is 240, 135 for the
  // client, however many pixels the stream has.
  ASSERT_TRUE(moveUntilSeen(client, {rect->x + 240, rect->y + 135}, id, 240, 135)) << client.log();
  // Found by its place alone (no display named).
  EXPECT_TRUE(moveUntilSeen(client, {rect->x + 720, rect->y + 405}, 0, 720, 405)) << client.log();
  // Dragged past the right edge: held at it.
  poster_->post(SystemEvent::mouse(SystemEventType::leftMouseDragged, {rect->x + 5000, rect->y + 405}, 0, id));
  poster_->flush();
  EXPECT_TRUE(eventually([&] { return lastMotionAt(client.log(), 959.75, 405); })) << client.log();
}

}  // namespace
}  // namespace tavlo
