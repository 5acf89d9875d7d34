// The mouse wheel over the settings window on a real X server: real wheel clicks (XTEST buttons 4 and 5)
// under the pointer, so that Qt delivers them as the desktop does and passes what a control ignores on
// to the page that holds it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <QPixmap>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <xcb/xtest.h>

#include "platform/x11/xcb_connection.hpp"
#include "tests/host/app/settings/settings_test_kit.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

void pump(std::chrono::milliseconds duration) {
  for (const auto end = std::chrono::steady_clock::now() + duration; std::chrono::steady_clock::now() < end;) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(5ms);
  }
}

class SettingsWheelX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xorg.start()) << xorg.failureText();
    setenv("DISPLAY", xorg.display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    std::string error;
    x = XcbConnection::open(xorg.display(), &error);
    ASSERT_NE(x, nullptr) << error;
  }

  // The pointer to `at` (global), then `clicks` wheel clicks: button 4 scrolls up, 5 down.
  void wheel(QPoint at, int button, int clicks) {
    xcb_test_fake_input(x->get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, x->root(), static_cast<int16_t>(at.x()),
                        static_cast<int16_t>(at.y()), 0);
    for (int i = 0; i < clicks; ++i) {
      xcb_test_fake_input(x->get(), XCB_BUTTON_PRESS, static_cast<uint8_t>(button), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
      xcb_test_fake_input(x->get(), XCB_BUTTON_RELEASE, static_cast<uint8_t>(button), XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                          0);
    }
    xcb_flush(x->get());
    pump(400ms);
  }

  testkit::XorgServer xorg;
  std::unique_ptr<XcbConnection> x;
};

QScrollArea* pageOf(QWidget* widget) {
  for (QWidget* w = widget; w; w = w->parentWidget()) {
    if (auto* area = qobject_cast<QScrollArea*>(w)) return area;
  }
  return nullptr;
}

// A short window so that the Network pane scrolls, with the smoothness buffer's slider under the pointer
// half-way down the page: the wheel scrolls the page and leaves the setting alone until the slider has
// the focus; then the wheel moves the slider (and commits, as a keyboard move does).
TEST_F(SettingsWheelX11, TheWheelScrollsThePageUntilASliderHasTheFocus) {
  settingstest::SettingsRig s;
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");
  s.window->showPane(SettingsPane::network);
  s.window->setGeometry(40, 40, 780, 420);
  pump(300ms);
  s.window->activateWindow();
  pump(300ms);
  QSlider* buffer = s.window->networkPane()->bufferSlider->slider();
  QScrollArea* page = pageOf(buffer);
  ASSERT_NE(page, nullptr);
  QScrollBar* scroll = page->verticalScrollBar();
  ASSERT_GT(scroll->maximum(), 0) << "the page is taller than the window";
  // The slider about the middle of the view (the page scrolled as far as that takes), with room to
  // scroll up.
  const int sliderY = buffer->mapTo(page->widget(), QPoint(0, 0)).y();
  const auto centreSlider = [&] {
    scroll->setValue(std::clamp(sliderY - page->viewport()->height() / 2, 0, scroll->maximum()));
    pump(200ms);
  };
  centreSlider();
  const int scrolledTo = scroll->value();
  ASSERT_GT(scrolledTo, 0);
  const int64_t bufferBefore = s.controller->bufferMs.get();
  const QPoint knob = buffer->mapToGlobal(buffer->rect().center());
  ASSERT_TRUE(page->viewport()->rect().contains(page->viewport()->mapFromGlobal(knob)));

  wheel(knob, 4, 3);
  EXPECT_EQ(s.controller->bufferMs.get(), bufferBefore) << "a wheel over an unfocused slider changes nothing";
  EXPECT_FALSE(s.rig.settings.getInt("tl.bufferMs").has_value()) << "nor stores anything";
  EXPECT_LT(scroll->value(), scrolledTo) << "the page scrolls instead";
  const std::filesystem::path folder = std::filesystem::path(TAVLO_BINARY_DIR) / "screenshots";
  std::filesystem::create_directories(folder);
  s.window->grab().save(QString::fromStdString((folder / "settings-wheel-scrolled.png").string()));

  // Focused (by Tab or a click), the slider takes the wheel: the page stays, the value moves.
  centreSlider();
  buffer->setFocus(Qt::TabFocusReason);
  pump(200ms);
  ASSERT_TRUE(buffer->hasFocus());
  const int pageAt = scroll->value();
  wheel(buffer->mapToGlobal(buffer->rect().center()), 4, 2);
  EXPECT_NE(s.controller->bufferMs.get(), bufferBefore);
  EXPECT_EQ(s.rig.settings.getInt("tl.bufferMs"), s.controller->bufferMs.get());
  EXPECT_EQ(scroll->value(), pageAt);
  s.window->hide();
  s.window.reset();
}

}  // namespace
}  // namespace tavlo
