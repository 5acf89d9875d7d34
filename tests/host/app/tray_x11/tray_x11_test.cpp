// The tray application on a private dummy Xorg with a real tray host (trayer): the built tavlo-host
// puts its icon into the tray, and the menu and the panels are shown and saved as screenshots
// (build/screenshots/) whose regions are checked: something drawn where each one belongs.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <gtest/gtest.h>

#include "host/app/ui/diag_panel.hpp"
#include "host/app/ui/tray_app.hpp"
#include "platform/runtime/base64.hpp"
#include "platform/x11/xcb_connection.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/host/controller/controller_test_kit.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"
#include "tests/testkit/child_process.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path screenshotDir = TAVLO_SCREENSHOT_DIR;

// Pumps the event loop for `duration` (the window system answers asynchronously).
void pump(std::chrono::milliseconds duration) {
  auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(10ms);
  }
}

// How many distinct colours a region holds: a drawn region holds many, an empty one one or two.
int colourCount(const QImage& image, const QRect& region) {
  std::set<QRgb> colours;
  QRect r = region.intersected(image.rect());
  for (int y = r.top(); y <= r.bottom(); y += 2) {
    for (int x = r.left(); x <= r.right(); x += 2) colours.insert(image.pixel(x, y));
  }
  return static_cast<int>(colours.size());
}

QImage screenshot(const std::string& name) {
  QImage image = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  std::filesystem::create_directories(screenshotDir);
  image.save(QString::fromStdString((screenshotDir / name).string()));
  return image;
}

class TrayOnXorg : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xorg.start()) << xorg.failureText();
    std::vector<std::string> env{"DISPLAY=" + xorg.display(), "HOME=" + home.path().string(),
                                 "PATH=/usr/bin:/bin"};
    ASSERT_TRUE(trayHost.start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "28"}, env,
                                home / "trayer.log"))
        << "trayer did not start";
    ::setenv("DISPLAY", xorg.display().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    app = std::make_unique<QApplication>(argc, argv);
    for (int i = 0; i < 200 && !QSystemTrayIcon::isSystemTrayAvailable(); ++i) pump(50ms);
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable()) << trayHost.log();
  }
  void TearDown() override {
    app.reset();
    trayHost.stop();
  }

  testkit::XorgServer xorg;
  testkit::TempDir home;
  testkit::ChildProcess trayHost;
  int argc = 1;
  char name[16] = "tavlo_tests";
  char* argv[2] = {name, nullptr};
  std::unique_ptr<QApplication> app;
};

TEST_F(TrayOnXorg, TavloHostPutsItsIconIntoTheTray) {
  HostProcess host(home.path(), {"--display", xorg.display(), "--port", std::to_string(freeBlock())});
  ASSERT_TRUE(host.waitForLine("clients connect to"));
  // The tray icon is a window of class tavlo-host embedded in the tray host's panel.
  std::string tree;
  for (int i = 0; i < 100 && tree.find("\"tavlo-host\"") == std::string::npos; ++i) {
    pump(100ms);
    tree = testkit::runTool({"xwininfo", "-display", xorg.display(), "-root", "-tree"}, {}).output;
  }
  EXPECT_NE(tree.find("\"tavlo-host\""), std::string::npos) << tree;
  QImage shot = screenshot("tray-icon.png");
  EXPECT_FALSE(shot.isNull());
}

TEST_F(TrayOnXorg, MenuAndPanelsShowWhereTheyBelong) {
  controllertest::ControllerRig rig;
  auto controller = rig.make(rig.dependencies());
  controller->clientConnected.set(true);
  controller->clientPlatform.set(vela::Platform::iPad);
  controller->clientName.set("iPad Ani");
  controller->clientForcePath.set("nat");
  std::vector<vela::DiagSnapshot> history;
  for (int i = 0; i < 90; ++i) {
    vela::DiagSnapshot d;
    d.streamW = 2388, d.streamH = 1668, d.sentFps = 55 + i % 6, d.targetFps = 60, d.path = "LAN";
    d.txKbps = 18000 + (i * 997) % 9000, d.rxKbps = 100 + i % 40, d.lost60 = i % 9 == 0 ? 3 : 0;
    d.sckFps = 58 + i % 3, d.encAvgMs = 4, d.bpp = 0.04 + (i % 10) * 0.005, d.qp = 28, d.pressure = (i % 20) / 20.0;
    d.ratio = 110 + i % 30, d.kfSec = 2 + (i % 5) * 0.5, d.audioTxKbps = 128, d.audioDesc = "Opus 48k";
    history.push_back(d);
  }
  controller->diagHistory.set(history);
  controller->diag.set(history.back());

  ui::TrayApp tray(*controller, {});
  tray.start();
  pump(500ms);
  ASSERT_NE(tray.statusItem(), nullptr);
  EXPECT_TRUE(tray.statusItem()->isVisible());
  ASSERT_NE(tray.disconnectItem(), nullptr) << "the chip shows while an iPad is connected";

  tray.rebuildMenu();
  tray.menu()->popup(QPoint(200, 200));
  pump(500ms);
  QImage menuShot = screenshot("menu.png");
  QRect menuRect = tray.menu()->geometry();
  EXPECT_TRUE(menuRect.contains(QPoint(210, 210)));
  EXPECT_GT(colourCount(menuShot, menuRect), 8) << "the menu's items are drawn";
  tray.menu()->close();

  tray.toggleDiagnostics();
  tray.updateClipPanel(ui::ClipTransfer{true, vela::Platform::iPad, 2'100'000, 5'000'000, false});
  pump(800ms);
  QImage shot = screenshot("panels.png");
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  ASSERT_NE(tray.diagPanel(), nullptr);
  QRect diag = tray.diagPanel()->geometry();
  EXPECT_EQ(diag.right(), screen.right() - 16);
  EXPECT_EQ(diag.top(), screen.top() + 16);
  // The rows (upper half) and the charts (lower part) both hold drawn text and lines.
  EXPECT_GT(colourCount(shot, QRect(diag.left(), diag.top(), diag.width(), diag.height() / 3)), 8);
  EXPECT_GT(colourCount(shot, QRect(diag.left(), diag.bottom() - 120, diag.width(), 110)), 8);
  QRect clip = tray.clipPanel()->geometry();
  EXPECT_EQ(clip.right(), screen.right() - 16);
  EXPECT_EQ(clip.bottom(), screen.bottom() - 16);
  EXPECT_GT(colourCount(shot, clip.adjusted(10, 10, -10, -10)), 8);
  if (!history.empty()) shot.copy(diag).save(QString::fromStdString((screenshotDir / "diagnostics.png").string()));
  shot.copy(clip).save(QString::fromStdString((screenshotDir / "clipboard.png").string()));
}

// A real click through XTEST at `at` (global): 1 the primary button, 3 the context button.
void click(const std::string& display, QPoint at, uint8_t button) {
  std::string error;
  auto x = XcbConnection::open(display, &error);
  ASSERT_NE(x, nullptr) << error;
  xcb_test_fake_input(x->get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, x->root(), static_cast<int16_t>(at.x()),
                      static_cast<int16_t>(at.y()), 0);
  xcb_test_fake_input(x->get(), XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_flush(x->get());
  // A hand's click: the release comes once the press was handled.
  pump(150ms);
  xcb_test_fake_input(x->get(), XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_flush(x->get());
}

// The chip in the tray's own icon slot: red and legible at that size, saved at that size; a context
// click opens the menu and leaves the client connected, the primary click disconnects it.
TEST_F(TrayOnXorg, TheChipReadsInTheTraysSlotAndOnlyThePrimaryClickDisconnects) {
  controllertest::ControllerRig rig;
  auto controller = rig.startedController();
  controller->clientName.set("iPad Ani");
  ui::TrayApp tray(*controller, {});
  tray.start();
  rig.admitSession(*controller, "device-A");
  ASSERT_TRUE(controller->clientConnected.get());
  ASSERT_NE(tray.disconnectItem(), nullptr);
  for (int i = 0; i < 100 && !tray.disconnectItem()->geometry().isValid(); ++i) pump(50ms);
  pump(500ms);
  // The tray's icon windows of this process (root coordinates): the status icon and the chip, the red one.
  const std::string tree = testkit::runTool({"xwininfo", "-display", xorg.display(), "-root", "-tree"}, {}).output;
  static const std::regex line(R"re("tavlo_tests".*\s(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))re");
  const QImage shot = screenshot("tray-with-chip.png");
  auto redPixels = [](const QImage& image) {
    int red = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, y);
        if (c.red() > 200 && c.green() < 110 && c.blue() < 110) ++red;
      }
    }
    return red;
  };
  QRect chip;
  for (auto it = std::sregex_iterator(tree.begin(), tree.end(), line); it != std::sregex_iterator(); ++it) {
    const QRect icon(std::stoi((*it)[3]), std::stoi((*it)[4]), std::stoi((*it)[1]), std::stoi((*it)[2]));
    if (icon.width() > 48 || icon.height() > 48) continue;
    if (!chip.isValid() || redPixels(shot.copy(icon)) > redPixels(shot.copy(chip))) chip = icon;
  }
  ASSERT_TRUE(chip.isValid()) << "the chip is embedded in the tray\n" << tree;
  // The tray's slot for each icon (trayer's is 22 wide and as tall as its panel).
  EXPECT_GE(std::min(chip.width(), chip.height()), 16);
  EXPECT_LE(std::max(chip.width(), chip.height()), 32);
  const QImage drawn = shot.copy(chip);
  drawn.save(QString::fromStdString((screenshotDir / "disconnect-chip.png").string()));
  EXPECT_GT(redPixels(drawn), drawn.width() * drawn.height() * 35 / 100) << "the red disc fills the slot";
  EXPECT_GT(colourCount(drawn, drawn.rect()), 3) << "and holds the white glyph";
  EXPECT_EQ(tray.disconnectItem()->toolTip(), "Disconnect: iPad Ani");

  int menuOpenings = 0;
  QObject::connect(tray.menu(), &QMenu::aboutToShow, [&] { ++menuOpenings; });
  click(xorg.display(), chip.center(), 3);
  for (int i = 0; i < 60 && menuOpenings == 0; ++i) pump(50ms);
  EXPECT_EQ(menuOpenings, 1) << "the context click opens the menu";
  pump(200ms);
  EXPECT_TRUE(controller->clientConnected.get()) << "and does not disconnect";
  tray.menu()->close();
  for (int i = 0; i < 40 && tray.menu()->isVisible(); ++i) pump(50ms);
  pump(200ms);

  click(xorg.display(), chip.center(), 1);
  for (int i = 0; i < 40 && controller->clientConnected.get(); ++i) pump(50ms);
  EXPECT_FALSE(controller->clientConnected.get()) << "the primary click disconnects";
  EXPECT_EQ(tray.disconnectItem(), nullptr);
}

// The screen rectangles (root coordinates) of the windows tavlo-host shows whose width is `width`.
std::vector<QRect> hostWindows(const std::string& display, int width) {
  const std::string tree = testkit::runTool({"xwininfo", "-display", display, "-root", "-tree"}, {}).output;
  // A line: 0x1e00007 "tavlo-host": ("tavlo-host" "tavlo-host")  332x420+0+0  +948+16
  static const std::regex line(R"re("tavlo-host".*\s(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))re");
  std::vector<QRect> found;
  for (auto it = std::sregex_iterator(tree.begin(), tree.end(), line); it != std::sregex_iterator(); ++it) {
    const auto& m = *it;
    if (std::stoi(m[1]) != width) continue;
    found.emplace_back(std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[1]), std::stoi(m[2]));
  }
  return found;
}

// The built tavlo-host with the diagnostics panel wanted and a client streaming: the panel shows the
// live session's rows and charts over the desktop.
TEST_F(TrayOnXorg, TheDiagnosticsPanelShowsALiveSession) {
  std::filesystem::create_directories(home / "XDG_CONFIG_HOME" / "tavlo");
  std::ofstream(home / "XDG_CONFIG_HOME" / "tavlo" / "settings.json") << R"({"tl.diagHUD": true})";
  const uint16_t base = freeBlock();
  ASSERT_NE(base, 0);
  HostProcess host(home.path(), {"--display", xorg.display(), "--port", std::to_string(base)});
  ASSERT_TRUE(host.waitForLine("signing key (Base64) ")) << host.output();
  const std::string output = host.output();
  const size_t keyAt = output.find("signing key (Base64) ") + std::string("signing key (Base64) ").size();
  std::optional<Bytes> key = base64Decode(output.substr(keyAt, output.find_first_of(",\n", keyAt) - keyAt));
  ASSERT_TRUE(key) << output;

  hosttest::HostTestClient client;
  std::string error;
  ASSERT_TRUE(client.connect(base, *key, &error)) << error << "\n" << host.output();
  client.sendHello(1280, 720);
  auto hello = client.nextControl<vela::HostHello>(15s);
  ASSERT_TRUE(hello && hello->accepted) << host.output();
  client.setSession(hello->sessionId, hello->generation);
  // Six seconds of streaming fill a few seconds of the charts' history. The host sends only frames whose
  // content changed: a square at the bottom left changes colour all the time.
  auto x = XcbConnection::open(xorg.display(), &error);
  ASSERT_NE(x, nullptr) << error;
  const xcb_gcontext_t gc = xcb_generate_id(x->get());
  xcb_create_gc(x->get(), gc, x->root(), 0, nullptr);
  int frames = 0;
  uint32_t painted = 0;
  auto stream = [&](std::chrono::milliseconds duration) {
    for (const auto end = std::chrono::steady_clock::now() + duration; std::chrono::steady_clock::now() < end;) {
      const uint32_t colour = (++painted * 0x3D5A7Bu) & 0xFFFFFFu;
      xcb_change_gc(x->get(), gc, XCB_GC_FOREGROUND, &colour);
      const xcb_rectangle_t square{0, 400, 200, 200};
      xcb_poly_fill_rectangle(x->get(), x->root(), gc, 1, &square);
      xcb_flush(x->get());
      client.sendKeepalive();
      for (int i = 0; i < 2; ++i) {
        if (auto frame = client.nextFrame(15ms)) {
          client.sendFrameFeedback(*frame);
          ++frames;
        }
      }
      pump(5ms);
    }
  };
  // The panel's rows and charts, when it is drawn on `shot` (the saved picture of the panel alone).
  auto drawnPanel = [&](const std::vector<QRect>& panels, const QImage& shot) -> std::optional<QRect> {
    for (const QRect& panel : panels) {
      // The panel fits the screen: on the client's 1280×720 display it shortens and scrolls its charts.
      if (!shot.rect().contains(panel) || panel.height() < 300) continue;
      if (colourCount(shot, QRect(panel.left(), panel.top(), panel.width(), panel.height() / 3)) > 8 &&
          colourCount(shot, QRect(panel.left(), panel.bottom() - 120, panel.width(), 110)) > 8)
        return panel;
    }
    return std::nullopt;
  };
  // Six seconds of streaming at least; then, on a loaded machine, until the frames and the panel's charts
  // are there (the bound only guards against a hang).
  stream(6s);
  std::vector<QRect> panels;
  QImage shot;
  std::optional<QRect> drawn;
  for (const auto until = std::chrono::steady_clock::now() + 30s;;) {
    panels = hostWindows(xorg.display(), ui::DiagPanel::panelWidth);
    shot = screenshot("diagnostics-live.png");
    drawn = drawnPanel(panels, shot);
    if ((frames > 30 && drawn) || std::chrono::steady_clock::now() >= until) break;
    stream(500ms);
  }
  xcb_free_gc(x->get(), gc);
  EXPECT_GT(frames, 30) << host.output();
  ASSERT_FALSE(panels.empty()) << "no diagnostics panel among the host's windows";
  // The README's picture of the panel is this one: docs/tray-diagnostics.png is a copy.
  if (drawn) shot.copy(*drawn).save(QString::fromStdString((screenshotDir / "tray-diagnostics.png").string()));
  std::string where;
  for (const QRect& panel : panels) {
    where += std::to_string(panel.x()) + "," + std::to_string(panel.y()) + " " + std::to_string(panel.width()) + "x" +
             std::to_string(panel.height()) + "; ";
  }
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(shot.size(), QSize(1280, 720)) << "the client's display is the screen";
  EXPECT_TRUE(drawn.has_value()) << "the whole panel is on the screen with its rows and charts drawn; host windows " << where << "screen " << screen.x()
                     << "," << screen.y() << " " << screen.width() << "x" << screen.height();
  client.sendBye();
  client.close();
  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << host.output();
}

}  // namespace
}  // namespace tavlo
