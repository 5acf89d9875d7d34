#pragma once
// The diagnostics panel's small history chart: series right-aligned on a grid of 120 slots, so that the
// newest value sits at the right edge and a short history fills only the right part of the chart.
#include <optional>
#include <vector>

#include <QColor>
#include <QPainter>
#include <QPointF>
#include <QRectF>

namespace tavlo::ui {

struct SparkSeries {
  QColor color;
  std::vector<double> values;  // oldest first, at most 120
};

struct Spark {
  std::vector<SparkSeries> series;
  std::optional<double> maxV;  // the ceiling; none: it follows the data
  bool bars = false;
  double height = 22;
};

inline constexpr int sparkSlots = 120;

// The ceiling shared by all series: maxV or the largest value, never below 1.
double sparkCeiling(const Spark& spark);
// The polyline of one series in line mode (empty for fewer than two values).
std::vector<QPointF> sparkLine(const std::vector<double>& values, double top, double width, double height);
// The bars of one series in bar mode. The newest bar ends at the right edge instead of starting there,
// so it is drawn whole rather than clipped by the chart's border.
std::vector<QRectF> sparkBars(const std::vector<double>& values, double top, double width, double height);

// Draws the background and the series into `area`.
void paintSpark(QPainter& painter, const QRectF& area, const Spark& spark);

}  // namespace tavlo::ui
