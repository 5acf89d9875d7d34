#include <gtest/gtest.h>

#include <QKeyEvent>

#include "host/app/settings/shortcut_keys.hpp"
#include "host/controller/controller_settings.hpp"
#include "tests/host/app/settings/settings_test_kit.hpp"

namespace tavlo {
namespace {

using settingstest::SettingsRig;

// X keycodes of the evdev set: evdev code + 8.
constexpr uint32_t xKeyD = 32 + 8;
constexpr uint32_t xKeyEscape = 1 + 8;
constexpr uint32_t xKeyLeftAlt = 56 + 8;
constexpr uint32_t xKeyKp5 = 76 + 8;

// A key press as the window system delivers it, to whatever widget has the focus.
void press(QWidget* target, Qt::Key key, Qt::KeyboardModifiers held, uint32_t xKeycode) {
  QKeyEvent event(QEvent::KeyPress, key, held, xKeycode, 0, 0);
  QApplication::sendEvent(target, &event);
}

TEST(ShortcutKeys, KeycodesBecomeUsagesOfTheKeyMapOnly) {
  EXPECT_EQ(shortcutUsageForXKeycode(xKeyD), 0x07);
  EXPECT_EQ(shortcutUsageForXKeycode(xKeyEscape), 0x29);
  EXPECT_EQ(shortcutUsageForXKeycode(xKeyLeftAlt), std::nullopt);  // modifiers are never the key
  EXPECT_EQ(shortcutUsageForXKeycode(xKeyKp5), std::nullopt);      // the keypad is not translated
  EXPECT_EQ(shortcutUsageForXKeycode(0), std::nullopt);
  EXPECT_EQ(shortcutUsageForXKeycode(100000), std::nullopt);
}

TEST(ShortcutKeys, TextsShowModifiersInTheirFixedOrder) {
  EXPECT_EQ(shortcutText(vela::HostShortcut::withControlOptionCommand(0x2E)), "⌃⌥⌘=");
  EXPECT_EQ(shortcutText(vela::HostShortcut::withControlOptionCommand(0x2D)), "⌃⌥⌘−");
  EXPECT_EQ(shortcutText(vela::HostShortcut::withControlOptionCommand(0x07)), "⌃⌥⌘D");
  EXPECT_EQ(shortcutText({0x07, false, false, true, true}), "⇧⌘D");
}

TEST(ShortcutRecorder, AltDCapturesUsage7WithOptionAndStoresIt) {
  SettingsRig s;
  ShortcutsPane& p = *s.window->shortcutsPane();
  ShortcutRecorderRow* row = p.diagnostics;
  EXPECT_EQ(row->button()->text(), "⌃⌥⌘D");
  row->button()->click();
  EXPECT_TRUE(row->recording());
  EXPECT_EQ(row->button()->text(), "Press a shortcut…");
  press(s.window.get(), Qt::Key_D, Qt::NoModifier, xKeyD);  // a bare letter is swallowed
  EXPECT_TRUE(row->recording());
  press(s.window.get(), Qt::Key_unknown, Qt::ControlModifier, xKeyKp5);  // a key without usage too
  EXPECT_TRUE(row->recording());
  press(s.window.get(), Qt::Key_D, Qt::AltModifier, xKeyD);
  EXPECT_FALSE(row->recording());
  const vela::HostShortcut expected{0x07, false, true, false, false};
  EXPECT_EQ(s.controller->diagShortcut.get(), expected);
  EXPECT_EQ(s.rig.settings.getInt("tl.sc.diag"), ControllerSettings::packShortcut(expected));
  EXPECT_EQ(row->button()->text(), "⌥D");
}

TEST(ShortcutRecorder, EscapeOrASecondClickCancelsWithoutCapturing) {
  SettingsRig s;
  ShortcutsPane& p = *s.window->shortcutsPane();
  const vela::HostShortcut before = s.controller->scaleUpShortcut.get();
  p.scaleUp->start();
  press(s.window.get(), Qt::Key_Escape, Qt::ControlModifier, xKeyEscape);
  EXPECT_FALSE(p.scaleUp->recording());
  EXPECT_EQ(s.controller->scaleUpShortcut.get(), before);
  p.scaleUp->button()->click();
  p.scaleUp->button()->click();
  EXPECT_FALSE(p.scaleUp->recording());
  press(s.window.get(), Qt::Key_D, Qt::AltModifier, xKeyD);  // reaches the window, captures nothing
  EXPECT_EQ(s.controller->scaleUpShortcut.get(), before);
}

// One combination typed is one shortcut: a second row that starts recording ends the first one's, so
// that the first does not take the next keys typed anywhere in the application.
TEST(ShortcutRecorder, StartingARowEndsTheRecordingOfAnother) {
  SettingsRig s;
  ShortcutsPane& p = *s.window->shortcutsPane();
  const vela::HostShortcut scaleUpBefore = s.controller->scaleUpShortcut.get();
  p.scaleUp->button()->click();
  p.scaleDown->button()->click();
  EXPECT_FALSE(p.scaleUp->recording());
  EXPECT_TRUE(p.scaleDown->recording());
  EXPECT_EQ(p.scaleUp->button()->text(), QString::fromStdString(shortcutText(scaleUpBefore)));
  press(s.window.get(), Qt::Key_D, Qt::AltModifier, xKeyD);
  EXPECT_FALSE(p.scaleDown->recording());
  EXPECT_EQ(s.controller->scaleDownShortcut.get(), (vela::HostShortcut{0x07, false, true, false, false}));
  press(s.window.get(), Qt::Key_D, Qt::ControlModifier, xKeyD);  // reaches the window, captures nothing
  EXPECT_EQ(s.controller->scaleUpShortcut.get(), scaleUpBefore);
}

TEST(ShortcutRecorder, HidingTheRowEndsRecording) {
  SettingsRig s;
  s.window->showPane(SettingsPane::shortcuts);
  ShortcutsPane& p = *s.window->shortcutsPane();
  p.scaleDown->start();
  s.window->select(SettingsPane::network);
  EXPECT_FALSE(p.scaleDown->recording());
  s.window->hide();
}

TEST(ShortcutsPane, AMacClientLeavesOnlyTheDiagnosticsRowAndItsFooter) {
  SettingsRig s;
  ShortcutsPane& p = *s.window->shortcutsPane();
  EXPECT_EQ(p.section->header(), "Keyboard shortcuts");
  EXPECT_FALSE(p.scaleUp->isHidden());
  EXPECT_FALSE(p.scaleDown->isHidden());
  EXPECT_EQ(p.scaleUp->title(), "Scale up");
  EXPECT_TRUE(p.section->footer().endsWith("requires ≥1 modifier, Esc cancels."));
  s.controller->clientPlatform.set(vela::Platform::mac);
  EXPECT_TRUE(p.scaleUp->isHidden());
  EXPECT_TRUE(p.scaleDown->isHidden());
  EXPECT_FALSE(p.diagnostics->isHidden());
  EXPECT_TRUE(p.section->footer().startsWith("The macOS client controls its own resolution"));
}

}  // namespace
}  // namespace tavlo
