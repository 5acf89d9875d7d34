#include <QFontMetricsF>
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

TEST_F(Widgets, ChipIsACapsuleSizedToItsText) {
  QImage chip = disconnectChip("tablet");
  EXPECT_EQ(chip.height(), chipHeight);
  EXPECT_EQ(chip.width(), chipWidth(disconnectChipText()));
  EXPECT_GT(chip.width(), 41);
  EXPECT_EQ(disconnectChipText(), "Disconnect");
  // Red in the middle of the capsule's left end, transparent in its corner.
  QColor left = chip.pixelColor(4, chipHeight / 2);
  EXPECT_GT(left.red(), 200);
  EXPECT_LT(left.green(), 100);
  EXPECT_EQ(chip.pixelColor(0, 0).alpha(), 0);
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
