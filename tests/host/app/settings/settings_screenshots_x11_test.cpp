// Every pane of the settings window drawn by a real X server, saved for a look by eye under
// <build>/screenshots/.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <QPixmap>

#include "tests/host/app/settings/settings_test_kit.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

TEST(SettingsWindowX11, SavesOneScreenshotPerPane) {
  testkit::XorgServer xorg;
  ASSERT_TRUE(xorg.start()) << xorg.failureText();
  setenv("DISPLAY", xorg.display().c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  settingstest::SettingsRig s;
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");
  s.controller->clientConnected.set(true);
  s.controller->clientPlatform.set(vela::Platform::iPad);
  s.controller->logLines.set({"nasłuch na porcie 47700", "nowa sesja: 192.0.2.1:50000"});

  const std::filesystem::path folder = std::filesystem::path(TAVLO_BINARY_DIR) / "screenshots";
  std::filesystem::create_directories(folder);
  for (SettingsPane pane : allSettingsPanes) {
    s.window->showPane(pane);
    for (int i = 0; i < 20; ++i) QApplication::processEvents();
    const QPixmap shot = s.window->grab();
    ASSERT_FALSE(shot.isNull());
    const auto file = folder / (std::string("settings-") + settingsPaneName(pane) + ".png");
    EXPECT_TRUE(shot.save(QString::fromStdString(file.string()), "PNG")) << file;
    EXPECT_TRUE(std::filesystem::file_size(file) > 1000) << file;
  }
  s.window->hide();
  s.window.reset();
}

}  // namespace
}  // namespace tavlo
