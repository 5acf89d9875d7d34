#include <QFontMetricsF>
#include <QGuiApplication>
#include <QScreen>
#include <QWheelEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>

#include <gtest/gtest.h>

#include "host/app/ui/diag_panel.hpp"
#include "host/app/ui/hud_panels.hpp"
#include "host/app/ui/sparkline.hpp"
#include "host/app/ui/tray_art.hpp"
#include "qt_test_app.hpp"

namespace tavlo::ui {
namespace {

class Widgets : public ::testing::Test {
 protected:
  void SetUp() override { qtTestApp(); }
};

// What share of a chip's pixels are (nearly) the capsule's red, and (nearly) white.
std::pair<double, double> redAndWhiteShares(const QImage& chip) {
  int red = 0, white = 0;
  for (int y = 0; y < chip.height(); ++y) {
    for (int x = 0; x < chip.width(); ++x) {
      const QColor c = chip.pixelColor(x, y);
      if (c.alpha() < 200) continue;
      if (c.red() > 200 && c.green() < 110 && c.blue() < 110) ++red;
      if (c.red() > 220 && c.green() > 220 && c.blue() > 220) ++white;
    }
  }
  const double all = chip.width() * chip.height();
  return {red / all, white / all};
}

// The tray gives the chip a square slot of 22 to 26 px: drawn for that square, the red fills most of it
// and the white device glyph and cross are big enough to see, at each size, for a theme icon and for
// our own screen glyph alike.
TEST_F(Widgets, ChipFillsTheTraysSquareSlotWithARedDiscAndAWhiteGlyph) {
  for (const char* iconName : {"tablet", "no-such-icon-anywhere"}) {
    for (int size : {22, 24, 26}) {
      SCOPED_TRACE(std::string(iconName) + " at " + std::to_string(size));
      const QImage chip = disconnectChip(iconName, size);
      ASSERT_EQ(chip.size(), QSize(size, size));
      const auto [red, white] = redAndWhiteShares(chip);
      EXPECT_GT(red, 0.35);
      EXPECT_GT(white, 0.12);
      EXPECT_EQ(chip.pixelColor(0, 0).alpha(), 0) << "a disc: its corners stay clear";
    }
  }
  // The icon is drawn at the tray's sizes, not scaled from one wide picture.
  const QList<QSize> sizes = disconnectChipTrayIcon("tablet").availableSizes();
  for (int size : {22, 24, 26}) EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
  for (const QSize& size : sizes) EXPECT_EQ(size.width(), size.height());
  EXPECT_FALSE(statusIconImage().isNull());
  EXPECT_EQ(statusIconImage().width(), statusIconImage().height()) << "room for the turned sail";
}

TEST_F(Widgets, ScalePanelTextAndBar) {
  ScalePanel panel;
  panel.setScale(1.155);
  EXPECT_EQ(panel.percentText(), "116%");
  EXPECT_DOUBLE_EQ(ScalePanel::filledWidth(1.0, 200), 4.0);
  EXPECT_NEAR(ScalePanel::filledWidth(1.15, 200), 30.0, 1e-9);
  EXPECT_DOUBLE_EQ(ScalePanel::filledWidth(2.5, 200), 200.0);
  panel.placeUnder(QRect(1900, 0, 24, 24), QRect(0, 0, 1920, 1080));
  EXPECT_EQ(panel.geometry().right(), 1920 - 6 - 1) << "kept inside the screen";
  EXPECT_EQ(panel.y(), 24 + 6);
}

TEST_F(Widgets, AFadeOutHidesThePanelUnlessAShowComesMeanwhile) {
  ScalePanel panel;
  panel.fadeIn(150, 120);
  finishFade(panel);
  EXPECT_TRUE(panel.isVisible());
  EXPECT_EQ(panel.windowOpacity(), 1.0);
  panel.fadeOut(250);
  EXPECT_TRUE(panel.fadingOut());
  panel.fadeIn(150, 120);
  EXPECT_FALSE(panel.fadingOut());
  finishFade(panel);
  EXPECT_TRUE(panel.isVisible());
  EXPECT_EQ(panel.windowOpacity(), 1.0);
  panel.fadeOut(250);
  panel.showNow();
  finishFade(panel);
  EXPECT_TRUE(panel.isVisible());
  panel.fadeOut(250);
  finishFade(panel);
  EXPECT_FALSE(panel.isVisible());
}

TEST_F(Widgets, ClipboardCardKeepsTheLastTransfer) {
  ClipPanel panel;
  panel.setTransfer(ClipTransfer{true, vela::Platform::iPad, 2'100'000, 5'000'000, false});
  EXPECT_EQ(panel.titleText(), "Sending to clipboard");
  EXPECT_EQ(panel.detailText(), "42% · 4.8 MB");
  panel.setTransfer(std::nullopt);
  EXPECT_EQ(panel.detailText(), "42% · 4.8 MB");
  EXPECT_EQ(panel.size(), QSize(300, 92));
}

vela::DiagSnapshot snapshot(int64_t tx) {
  vela::DiagSnapshot d;
  d.streamW = 1920, d.streamH = 1080, d.sentFps = 30, d.targetFps = 60, d.txKbps = tx, d.path = "LAN";
  return d;
}

TEST_F(Widgets, DiagnosticsPanelRowsPickerAndWarning) {
  DiagPanel panel;
  EXPECT_TRUE(panel.rows().empty()) << "brak strumienia";
  EXPECT_TRUE(panel.charts().empty());
  const int emptyHeight = panel.height();
  DiagPanelState state;
  state.diag = snapshot(900);
  state.history = {snapshot(800), snapshot(900)};
  state.context.clientConnected = true;
  state.context.clientForcePath = "nat";
  panel.setState(state);
  ASSERT_EQ(panel.rows().size(), 19u);
  EXPECT_EQ(panel.rows()[0].value, "1920×1080 @30/60fps · 33ms · gen 0");
  EXPECT_EQ(panel.warning(), "⚠︎ żądanie NAT, realny tor: LAN");
  ASSERT_EQ(panel.charts().size(), 10u);
  EXPECT_EQ(panel.charts()[0].caption[0].text, "tx 900k");
  EXPECT_EQ(panel.charts()[8].caption[1].text, "vs PCM —");
  EXPECT_GT(panel.height(), emptyHeight);
  EXPECT_EQ(panel.selectedPath(), "nat");

  std::string picked;
  panel.setOnForcePath([&](const std::string& request) { picked = request; });
  QRect relay = panel.pathSegments().at(4);
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(relay.center()), QPointF(relay.center()), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&panel, &press);
  EXPECT_EQ(picked, "relay");
  EXPECT_EQ(panel.selectedPath(), "nat") << "the picker mirrors the controller, not the click";

  QImage image(panel.size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  panel.render(&image);
  EXPECT_GT(image.pixelColor(panel.width() / 2, 30).alpha(), 100) << "the panel paints its background";
}

// A full panel (rows, warning, all ten charts) placed on a screen shorter than it: the panel takes the
// screen's free height less its margins, the charts scroll under the wheel while the rows stay, the label
// column holds "ostatni switch", and long values take more lines instead of being cut.
TEST_F(Widgets, DiagnosticsPanelFitsItsScreenWrapsValuesAndSizesItsLabels) {
  DiagPanel panel;
  DiagPanelState state;
  state.diag = snapshot(900);
  state.diag->generation = 123456789012;
  state.diag->streamW = 3840, state.diag->streamH = 2160;
  state.history = std::vector<vela::DiagSnapshot>(120, *state.diag);
  state.context.clientConnected = true;
  state.context.clientForcePath = "nat";
  state.context.publicEndpoint = "203.0.113.250:47700";
  state.lastSwitchInfo = "LAN → NAT 12:00:01 (utrata 3 pakietów, powrót po 2.4 s)";
  panel.setState(state);
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  ASSERT_GT(panel.contentHeight(), area.height()) << "the content is taller than the test screen";

  panel.placeTopRight();
  EXPECT_EQ(panel.height(), area.height() - 32);
  EXPECT_TRUE(area.contains(panel.geometry())) << "the whole panel is on the screen";
  ASSERT_TRUE(panel.scrolls());
  const QRect picker = panel.pathSegments().front();
  EXPECT_LT(picker.bottom(), panel.scrollTop()) << "the rows and the picker stay; the charts scroll";

  QWheelEvent down(QPointF(100, panel.height() - 40), panel.mapToGlobal(QPointF(100, panel.height() - 40)),
                   QPoint(), QPoint(0, -120 * 50), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(&panel, &down);
  EXPECT_EQ(panel.scrollOffset(), panel.contentHeight() - panel.height()) << "down to the last chart, no further";
  EXPECT_EQ(panel.pathSegments().front(), picker) << "the picker did not move";
  QWheelEvent up(QPointF(100, panel.height() - 40), panel.mapToGlobal(QPointF(100, panel.height() - 40)), QPoint(),
                 QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(&panel, &up);
  EXPECT_EQ(panel.scrollOffset(), panel.contentHeight() - panel.height() - 40);

  QFont mono(QStringLiteral("monospace"));
  mono.setStyleHint(QFont::Monospace);
  mono.setPixelSize(11);
  EXPECT_GE(panel.labelColumnWidth(), QFontMetrics(mono).horizontalAdvance(QStringLiteral("ostatni switch")));
  const std::vector<int>& rows = panel.rowHeights();
  ASSERT_EQ(rows.size(), 20u) << "19 rows and the last switch";
  EXPECT_GT(rows[0], 15) << "the stream row with its long generation takes a second line";
  EXPECT_GT(rows[11], 15) << "the paths row with the public endpoint too";
  EXPECT_GT(rows[19], 15) << "and the last switch";
  EXPECT_EQ(rows[4], 15) << "a short value keeps one line";

  // Without a screen shorter than the content, the panel is as tall as its content.
  DiagPanel small;
  small.placeTopRight();
  EXPECT_FALSE(small.scrolls());
  EXPECT_EQ(small.height(), small.contentHeight());
}

TEST(Sparkline, GridCeilingAndTheNewestBarInsideTheChart) {
  Spark spark{{{Qt::red, {0.3}}}, std::nullopt, false, 22};
  EXPECT_EQ(sparkCeiling(spark), 1.0);
  EXPECT_EQ(sparkCeiling(Spark{{{Qt::red, {75}}}, 60.0, true, 22}), 60.0);
  EXPECT_EQ(sparkCeiling(Spark{{{Qt::red, {0.2}}}, 0.5, false, 22}), 1.0);
  EXPECT_EQ(sparkCeiling(Spark{}), 1.0);

  auto line = sparkLine({5, 10}, 10, 119, 22);
  ASSERT_EQ(line.size(), 2u);
  EXPECT_EQ(line[0], QPointF(118, 11));
  EXPECT_EQ(line[1], QPointF(119, 0));
  EXPECT_TRUE(sparkLine({5}, 10, 119, 22).empty());

  auto bars = sparkBars({0, 3}, 3, 242, 22);
  ASSERT_EQ(bars.size(), 1u);
  EXPECT_EQ(bars[0].width(), 2);
  EXPECT_EQ(bars[0].right(), 242) << "ends at the right edge instead of starting there";
  EXPECT_EQ(bars[0].height(), 22);
  EXPECT_EQ(sparkBars({75}, 60, 242, 22)[0].height(), 22) << "clamped to the ceiling";

  // Drawn: a full-height bar at the right edge, and nothing on the left of a two-value history.
  QImage image(242, 22, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  QPainter painter(&image);
  paintSpark(painter, QRectF(0, 0, 242, 22), Spark{{{QColor(255, 0, 0), {0, 3}}}, std::nullopt, true, 22});
  painter.end();
  QColor newest = image.pixelColor(241, 11);
  EXPECT_GT(newest.red(), 200);
  EXPECT_LT(newest.green(), 60);
  EXPECT_GT(image.pixelColor(20, 11).green(), 200) << "the background only";
}

}  // namespace
}  // namespace tavlo::ui

// Fontconfig keeps its font cache for the life of the process on purpose; the leak checker of the
// sanitizer builds is told so (it calls this hook when it starts; other builds never call it).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
