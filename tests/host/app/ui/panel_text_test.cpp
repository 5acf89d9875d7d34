#include "host/app/ui/panel_text.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace tavlo::ui {
namespace {

vela::DiagSnapshot fixedSnapshot() {
  vela::DiagSnapshot d;
  d.streamW = 2388, d.streamH = 1668, d.sentFps = 60, d.targetFps = 60, d.generation = 3;
  d.modePtW = 1194, d.modePtH = 834, d.modePxW = 2388, d.modePxH = 1668;
  d.scale = 1.25, d.force1x = false, d.surfaceRung = 0.85, d.surfaceFloor = 0.5;
  d.sckFps = 59, d.sckIntervalMs = 16, d.encodeDrop = 1;
  d.encAvgMs = 4, d.encMaxMs = 9, d.qp = 30;
  d.ratio = 120, d.bpp = 0.0412, d.avgFrameKB = 21.55;
  d.appliedMbps = 24.46, d.txKbps = 24000, d.rxKbps = 120;
  d.lost60 = 2, d.nack = 5, d.fecLossPct = 1, d.lossBasePct = 0, d.radioTolerant = true;
  d.fecRedundancyPct = 10, d.fecRecoveredPct = 100, d.fecResidualPct = 0;
  d.regime = "stabilny", d.clog = "off", d.path = "NAT";
  d.asmAvgMs = 2, d.asmMaxMs = 5, d.decAvgMs = 3, d.decMaxMs = 7;
  d.kfAdaptive = true, d.kfSec = 2.5;
  d.softPermille = 850, d.softFps = 60, d.encFpsCapNow = 60;
  d.cascadeStage = 0, d.motionPct = 12;
  d.audioDesc = "", d.audioTxKbps = 128;
  d.camDesc = "720p", d.camRxKbps = 0, d.micDesc = "48k mono", d.micRxKbps = 64;
  return d;
}

TEST(DiagRows, AllNineteenRowsOfAFixedSnapshot) {
  DiagContext c;
  c.clientConnected = true;
  c.mappedVia = "UPnP";
  c.useNATPMP = false;
  c.useUPnP = false;
  auto rows = diagRows(fixedSnapshot(), c);
  ASSERT_EQ(rows.size(), 19u);
  std::vector<std::pair<std::string, std::string>> expected{
      {"strumień", "2388×1668 @60/60fps · 16ms · gen 3"},
      {"ekran wirt.", "1194×834 pt · 2388×1668 px"},
      {"skalowanie", "×1.25 · HiDPI @2x · strumień ×0.85 (podłoga 0.5)"},
      {"źródło SCK", "59 fps · 16 ms · drop 1/60"},
      {"enkoder", "avg 4 · max 9 ms · QP≤30"},
      {"kompresja", "1:120 · 0.041 bpp · śr. 21.6 KB"},
      {"bitrate", "24.5 Mb/s · tx 24000 · rx 120 kb/s"},
      {"straty", "2/60 · nack 5 · FEC 1% · baza 0% 🛰"},
      {"FEC 🛡️", "narzut 10% · odzysk 100% · residual 0%"},
      {"łącze", "stabilny · zator off"},
      {"tor klienta", "NAT (UPnP)"},
      {"tory", "NAT brak metody (na żądanie: zamknięty) · LAN on · VPN on · relay on"},
      {"klient", "skład 2/5 · dekod 3/7 ms"},
      {"keyframe", "AIMD · 2.50 s"},
      {"miękkie", "detal 0.85× · fps 60 · cap enk. 60"},
      {"kaskada", "spokój (samo QP) · ruch 12%"},
      {"audio ↓", "— · 128k"},
      {"kamera ↑", "720p"},
      {"mikrofon ↑", "48k mono · rx 64k"},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(rows[i].label, expected[i].first) << i;
    EXPECT_EQ(rows[i].value, expected[i].second) << i;
  }
}

TEST(DiagRows, EdgesOfTheRowRules) {
  DiagContext c;
  c.clientConnected = true;
  auto d = fixedSnapshot();
  EXPECT_TRUE(diagRows(d, DiagContext{}).empty()) << "no client: brak strumienia";
  EXPECT_TRUE(diagRows(std::nullopt, c).empty());
  d.sentFps = 0;
  d.surfaceFloor = 0.995;
  d.path = "LAN";
  d.cascadeStage = 2, d.deficitPct = 30;
  c.mappedVia = "UPnP";
  c.publicEndpoint = "203.0.113.5:47700";
  c.allowLAN = false;
  auto rows = diagRows(d, c);
  EXPECT_EQ(rows[0].value, "2388×1668 @0/60fps · gen 3");
  EXPECT_EQ(rows[2].value, "×1.25 · HiDPI @2x · strumień ×0.85");
  EXPECT_EQ(rows[10].value, "LAN");
  EXPECT_EQ(rows[11].value, "NAT PMP+UPnP · LAN off · VPN on · relay on · 203.0.113.5:47700");
  EXPECT_EQ(rows[15].value, "etap 2 · deficyt 30% · ruch 12%");
  c.allowNAT = false;
  EXPECT_TRUE(diagRows(d, c)[11].value.starts_with("NAT off · LAN off"));
}

TEST(DiagRows, NumbersWithoutAnIntegerFormShowADash) {
  DiagContext c;
  c.clientConnected = true;
  auto d = fixedSnapshot();
  d.appliedMbps = std::numeric_limits<double>::quiet_NaN();
  d.kfSec = std::numeric_limits<double>::infinity();
  auto rows = diagRows(d, c);
  EXPECT_EQ(rows[6].value.substr(0, 3), "—");
  EXPECT_EQ(rows[13].value, "AIMD · — s");
  EXPECT_EQ(truncated(std::nan("")), "—");
  EXPECT_EQ(truncated(1e300), "—");
  EXPECT_EQ(truncated(-2.7), "-2");
  EXPECT_EQ(rounded(104.5), "105");
}

TEST(PathWarning, OnlyForAKnownRequestTheClientDoesNotFollow) {
  auto d = fixedSnapshot();
  d.path = "przekaźnik";
  EXPECT_EQ(pathMismatchWarning(d, "relay"), "");
  d.path = "LAN";
  EXPECT_EQ(pathMismatchWarning(d, "relay"), "⚠︎ żądanie RELAY, realny tor: LAN");
  EXPECT_EQ(pathMismatchWarning(d, "auto"), "");
  EXPECT_EQ(pathMismatchWarning(d, "carrier"), "");
  EXPECT_EQ(pathMismatchWarning(std::nullopt, "nat"), "");
  d.path = "—";
  EXPECT_EQ(pathMismatchWarning(d, "nat"), "");
  ASSERT_EQ(pathChoices().size(), 5u);
  EXPECT_STREQ(pathChoices()[4].request, "relay");
}

TEST(PanelTexts, BytesPercentagesAndTheChipTooltip) {
  EXPECT_EQ(humanBytes(800), "800 B");
  EXPECT_EQ(humanBytes(2048), "2 KB");
  EXPECT_EQ(humanBytes(5'000'000), "4.8 MB");
  EXPECT_EQ(clipCardDetail(2'100'000, 5'000'000), "42% · 4.8 MB");
  EXPECT_EQ(clipCardDetail(0, 0), "0% · 0 B");
  EXPECT_EQ(clipCardTitle(false), "Receiving from clipboard");
  EXPECT_EQ(sliderPercent(1.255), "125%");
  EXPECT_EQ(scalePanelPercent(1.055), "106%");
  EXPECT_EQ(sliderPercent(std::nan("")), "—%");
  EXPECT_DOUBLE_EQ(scalePanelFill(1.15), 0.15000000000000002);
  EXPECT_EQ(scalePanelFill(3.0), 1.0);
  EXPECT_EQ(scalePanelFill(std::nan("")), 0.0);
  EXPECT_EQ(disconnectTooltip(""), "Disconnect client");
  EXPECT_EQ(disconnectTooltip("iPad Ani"), "Disconnect: iPad Ani");
}

}  // namespace
}  // namespace tavlo::ui
