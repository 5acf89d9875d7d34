#include "host/app/ui/diag_charts.hpp"

#include <functional>

#include "host/app/ui/panel_text.hpp"

namespace tavlo::ui {
namespace {

const QColor yellow(255, 214, 10), green(48, 209, 88), red(255, 69, 58), orange(255, 159, 10),
    cyan(100, 210, 255), purple(191, 90, 242), mint(102, 212, 207), teal(64, 200, 224), gray(152, 152, 157),
    pink(255, 55, 95), blue(10, 132, 255);

using Field = std::function<double(const vela::DiagSnapshot&)>;

std::vector<double> values(const std::vector<vela::DiagSnapshot>& history, const Field& field) {
  std::vector<double> out;
  out.reserve(history.size());
  for (const auto& snapshot : history) out.push_back(field(snapshot));
  return out;
}

std::string n(int64_t value) { return std::to_string(value); }
ChartCaptionItem item(QColor color, const std::string& name, const std::string& value) {
  return {color, name + " " + value};
}

}  // namespace

std::vector<DiagChart> diagCharts(const std::vector<vela::DiagSnapshot>& h) {
  if (h.empty()) return {};
  const vela::DiagSnapshot& d = h.back();
  auto series = [&h](QColor color, Field field) { return SparkSeries{color, values(h, field)}; };
  std::vector<DiagChart> charts;
  charts.push_back({{item(yellow, "tx", n(d.txKbps) + "k"), item(green, "rx", n(d.rxKbps) + "k")},
                    {{series(yellow, [](auto& s) { return double(s.txKbps); }),
                      series(green, [](auto& s) { return double(s.rxKbps); })},
                     std::nullopt, false, 32}});
  charts.push_back({{item(red, "straty/60", n(d.lost60)), item(orange, "FEC%", n(d.fecLossPct))},
                    {{series(red, [](auto& s) { return double(s.lost60); })}, 60.0, true, 22}});
  charts.push_back({{item(orange, "FEC narzut%", n(d.fecRedundancyPct) + "%"),
                     item(green, "odzysk%", n(d.fecRecoveredPct) + "%")},
                    {{series(orange, [](auto& s) { return double(s.fecRedundancyPct); }),
                      series(green, [](auto& s) { return double(s.fecRecoveredPct); }),
                      series(red, [](auto& s) { return double(s.fecResidualPct); })},
                     100.0, false, 22}});
  charts.push_back({{item(cyan, "SCK fps", n(d.sckFps)), item(purple, "enkod ms", n(d.encAvgMs))},
                    {{series(cyan, [](auto& s) { return double(s.sckFps); })}, 62.0, false, 22}});
  charts.push_back({{item(mint, "detal", fixed(d.softPermille / 1000.0, 2) + "×"), item(orange, "fps", n(d.softFps))},
                    {{series(mint, [](auto& s) { return s.softPermille / 1000.0; }),
                      series(orange, [](auto& s) { return s.softFps / 60.0; })},
                     1.0, false, 22}});
  // The compression legend: three items where the other captions have two.
  charts.push_back({{{teal, "bpp " + fixed(d.bpp, 3)},
                     {gray, "sufit " + n(d.qp)},
                     {red, "dociśn " + truncated(d.pressure * 100) + "%"}},
                    {{series(teal, [](auto& s) { return std::min(s.bpp / 0.15, 1.0); }),
                      series(gray, [](auto& s) { return s.qp / 51.0; }),
                      series(red, [](auto& s) { return s.pressure; })},
                     1.0, false, 28}});
  charts.push_back({{item(purple, "kompresja", "1:" + n(d.ratio)), item(gray, "bpp", fixed(d.bpp, 3))},
                    {{series(purple, [](auto& s) { return double(s.ratio); })}, std::nullopt, false, 22}});
  charts.push_back({{item(orange, "keyframe", fixed(d.kfSec, 2) + "s"), item(gray, "tryb", d.kfAdaptive ? "AIMD" : "stały")},
                    {{series(orange, [](auto& s) { return s.kfSec; })}, 10.0, false, 22}});
  charts.push_back({{item(pink, "audio", d.audioDesc + " · " + n(d.audioTxKbps) + "k"),
                     item(gray, "vs PCM", d.audioTxKbps >= 1 ? "1:" + n(1536 / d.audioTxKbps) : std::string(noValue))},
                    {{series(pink, [](auto& s) { return double(s.audioTxKbps); })}, 280.0, false, 22}});
  charts.push_back({{item(blue, "kamera↑", n(d.camRxKbps) + "k"), item(teal, "mikrofon↑", n(d.micRxKbps) + "k")},
                    {{series(blue, [](auto& s) { return double(s.camRxKbps); }),
                      series(teal, [](auto& s) { return double(s.micRxKbps); })},
                     std::nullopt, false, 22}});
  return charts;
}

}  // namespace tavlo::ui
