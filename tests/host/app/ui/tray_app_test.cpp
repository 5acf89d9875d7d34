#include "host/app/ui/tray_app.hpp"

#include <QAction>

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
