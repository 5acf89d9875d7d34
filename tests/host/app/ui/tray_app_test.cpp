#include "host/app/ui/tray_app.hpp"

#include <QAction>
#include <QPushButton>

#include <gtest/gtest.h>

#include "qt_test_app.hpp"
#include "tests/host/controller/controller_test_kit.hpp"

namespace tavlo::ui {
namespace {

QStringList menuTexts(QMenu& menu) {
  QStringList texts;
  for (QAction* action : menu.actions()) {
    texts << (action->isSeparator() ? QStringLiteral("---") : action->text().isEmpty() ? "[slider]" : action->text());
  }
  return texts;
}

class TrayAppOverController : public ::testing::Test {
 protected:
  void SetUp() override { qtTestApp(); }
  controllertest::ControllerRig rig;
  std::shared_ptr<HostController> controller = rig.make(rig.dependencies());
};

TEST_F(TrayAppOverController, MenuChipAndDiagnosticsFollowTheClient) {
  bool stored = false;
  TrayHooks hooks;
  hooks.storeDiagnosticsWanted = [&](bool on) { stored = on; };
  TrayApp tray(*controller, hooks);
  tray.start();
  EXPECT_EQ(menuTexts(*tray.menu()), (QStringList{"---", "Settings…", "Quit"}));
  EXPECT_EQ(tray.disconnectItem(), nullptr);

  controller->clientPlatform.set(vela::Platform::iPad);
  controller->clientName.set("iPad Ani");
  controller->clientConnected.set(true);
  tray.rebuildMenu();
  EXPECT_EQ(menuTexts(*tray.menu()), (QStringList{"[slider]", "---", "Settings…", "Quit"}));
  ASSERT_NE(tray.disconnectItem(), nullptr);
  EXPECT_EQ(tray.disconnectItem()->toolTip(), "Disconnect: iPad Ani");
  controller->clientName.set("");
  EXPECT_EQ(tray.disconnectItem()->toolTip(), "Disconnect client");

  tray.toggleDiagnostics();
  EXPECT_TRUE(stored);
  ASSERT_NE(tray.diagPanel(), nullptr);
  EXPECT_TRUE(tray.diagPanel()->isVisible());
  tray.rebuildMenu();
  EXPECT_EQ(menuTexts(*tray.menu()).at(1), "Diagnostics (HUD)") << "offered while the panel shows";

  controller->clientPlatform.set(vela::Platform::vision);
  EXPECT_EQ(tray.disconnectItem(), nullptr) << "a headset gets no chip";
  controller->clientConnected.set(false);
  EXPECT_FALSE(tray.diagPanel()->isVisible());
}

QAction* menuAction(QMenu& menu, const QString& text) {
  for (QAction* action : menu.actions()) {
    if (action->text() == text) return action;
  }
  return nullptr;
}

// While the input cannot be injected the warning item opens the settings window (made once, kept) at
// the row that says what to do on this desktop; "Settings…" shows the same window.
TEST_F(TrayAppOverController, TheWarningItemOpensTheSettingsWindowAtTheEventPostingRow) {
  int made = 0;
  TrayHooks hooks;
  hooks.makeSettingsWindow = [&] {
    ++made;
    SettingsWindowDependencies deps{rig.settings};
    deps.desktop.input = {"XTEST extension (the client's input)", "This X server offers no XTEST extension."};
    return std::make_unique<SettingsWindow>(*controller, std::move(deps));
  };
  TrayApp tray(*controller, hooks);
  tray.start();
  controller->inputBlocked.set(true);
  tray.rebuildMenu();
  QAction* warning = menuAction(*tray.menu(), "⚠️ No Accessibility — mouse/keyboard won't work");
  ASSERT_NE(warning, nullptr);
  warning->trigger();

  SettingsWindow* window = tray.settingsWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "Tavlo — Settings");
  EXPECT_EQ(window->selection(), SettingsPane::diagnostics);
  QWidget* row = window->diagnosticsPane()->inputRow;
  auto* recheck = row->findChild<QPushButton*>("recheck");
  ASSERT_NE(recheck, nullptr);
  EXPECT_TRUE(recheck->isVisible());
  EXPECT_EQ(window->focusWidget(), recheck) << "the window opens at the row";
  auto* hint = row->findChild<QLabel*>("remedy");
  ASSERT_NE(hint, nullptr);
  EXPECT_TRUE(hint->isVisible());
  EXPECT_TRUE(hint->text().contains("XTEST")) << hint->text().toStdString();

  window->select(SettingsPane::general);
  window->hide();
  menuAction(*tray.menu(), "Settings…")->trigger();
  EXPECT_EQ(made, 1);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->selection(), SettingsPane::general) << "the same window, where it was left";
}

std::string pathsRow(const DiagPanel& panel) {
  for (const DiagRow& row : panel.rows()) {
    if (row.label == "tory") return row.value;
  }
  return "no paths row";
}

void showDiagnostics(HostController& controller, TrayApp& tray) {
  controller.clientPlatform.set(vela::Platform::iPad);
  controller.clientConnected.set(true);
  vela::DiagSnapshot snapshot;
  snapshot.path = "LAN";
  controller.diag.set(snapshot);
  tray.toggleDiagnostics();
}

TEST_F(TrayAppOverController, ThePathsRowSaysOnDemandOnlyWhenTheRelayCanAskForTheMapping) {
  TrayApp tray(*controller, {});
  tray.start();
  showDiagnostics(*controller, tray);
  ASSERT_NE(tray.diagPanel(), nullptr);
  EXPECT_EQ(pathsRow(*tray.diagPanel()), "NAT PMP+UPnP (na żądanie: zamknięty) · LAN on · VPN on · relay on");

  // Without a relay service the block is mapped at listening and kept: nothing waits for a request.
  controllertest::ControllerRig noRelayRig;
  auto deps = noRelayRig.dependencies();
  deps.seams.startRelayLink = nullptr;
  auto noRelay = noRelayRig.make(std::move(deps));
  TrayApp noRelayTray(*noRelay, {});
  noRelayTray.start();
  showDiagnostics(*noRelay, noRelayTray);
  ASSERT_NE(noRelayTray.diagPanel(), nullptr);
  EXPECT_EQ(pathsRow(*noRelayTray.diagPanel()), "NAT PMP+UPnP · LAN on · VPN on · relay on");
}

TEST(TrayAppChip, AClickOnTheChipEndsTheSessionAndTheChipOutlivesTheClick) {
  qtTestApp();
  controllertest::ControllerRig rig;
  auto controller = rig.startedController();
  TrayApp tray(*controller, {});
  tray.start();
  rig.admitSession(*controller, "device-A");
  ASSERT_TRUE(controller->clientConnected.get());
  QPointer<QSystemTrayIcon> chip = tray.disconnectItem();
  ASSERT_NE(chip, nullptr);
  // Another receiver of the same click, connected after the tray's own: it sees the click only when the
  // chip is still there once the tray's handler (which ends the session) has returned.
  bool clickSeenAfterTheTray = false;
  QObject::connect(chip, &QSystemTrayIcon::activated, [&] { clickSeenAfterTheTray = true; });
  Q_EMIT chip->activated(QSystemTrayIcon::Trigger);
  EXPECT_FALSE(controller->clientConnected.get());
  EXPECT_EQ(tray.disconnectItem(), nullptr);
  EXPECT_TRUE(clickSeenAfterTheTray);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(chip.isNull()) << "the chip goes once the click is handled";
}

// A right click on the chip is the way to its menu, not a disconnect; a middle click does nothing; the
// session ends on the primary click alone.
TEST(TrayAppChip, OnlyThePrimaryClickEndsTheSessionAndTheContextClickHasTheMenu) {
  qtTestApp();
  controllertest::ControllerRig rig;
  auto controller = rig.startedController();
  TrayApp tray(*controller, {});
  tray.start();
  rig.admitSession(*controller, "device-A");
  QSystemTrayIcon* chip = tray.disconnectItem();
  ASSERT_NE(chip, nullptr);
  EXPECT_EQ(chip->contextMenu(), tray.menu());
  for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown}) {
    Q_EMIT chip->activated(reason);
    EXPECT_TRUE(controller->clientConnected.get()) << "activation reason " << reason;
    ASSERT_EQ(tray.disconnectItem(), chip);
  }
  Q_EMIT chip->activated(QSystemTrayIcon::Trigger);
  EXPECT_FALSE(controller->clientConnected.get());
  EXPECT_EQ(tray.disconnectItem(), nullptr);
}

TEST_F(TrayAppOverController, ATransferThatBeginsWhileTheLastCardFadesOutIsShown) {
  TrayApp tray(*controller, {});
  tray.start();
  tray.updateClipPanel(ClipTransfer{true, vela::Platform::iPad, 10, 10, true});
  ASSERT_NE(tray.clipPanel(), nullptr);
  finishFade(*tray.clipPanel());
  EXPECT_TRUE(tray.clipPanel()->isVisible());
  tray.updateClipPanel(std::nullopt);
  tray.updateClipPanel(ClipTransfer{false, vela::Platform::iPad, 20, 20, true});
  finishFade(*tray.clipPanel());
  EXPECT_TRUE(tray.clipPanel()->isVisible()) << "the new card stays";
  EXPECT_EQ(tray.clipPanel()->windowOpacity(), 1.0);
  EXPECT_EQ(tray.clipPanel()->titleText(), "Receiving from clipboard");
  tray.updateClipPanel(std::nullopt);
  finishFade(*tray.clipPanel());
  EXPECT_FALSE(tray.clipPanel()->isVisible());
}

TEST_F(TrayAppOverController, AStandbyInstanceShowsNothingUntilItTakesOver) {
  controller->standby.set(true);
  TrayApp tray(*controller, {});
  tray.start();
  EXPECT_EQ(tray.statusItem(), nullptr);
  controller->standby.set(false);
  EXPECT_NE(tray.statusItem(), nullptr);
}

}  // namespace
}  // namespace tavlo::ui
