#pragma once
// The diagnostics panel's ten history charts: captions from the newest snapshot, series from all of them.
#include <string>
#include <vector>

#include "host/app/ui/sparkline.hpp"
#include "hostcore/session/diag_snapshot.hpp"

namespace tavlo::ui {

struct ChartCaptionItem {
  QColor color;
  std::string text;  // name, one space, value
};

struct DiagChart {
  std::vector<ChartCaptionItem> caption;
  Spark spark;
};

// Empty for an empty history.
std::vector<DiagChart> diagCharts(const std::vector<vela::DiagSnapshot>& history);

}  // namespace tavlo::ui
