#include "host/app/ui/sparkline.hpp"

#include <algorithm>
#include <cmath>

#include <QPainterPath>

namespace tavlo::ui {
namespace {

// The x of slot `slot` on a chart of `width`: slot 0 at the left edge, slot 119 at the right edge.
double slotX(double width, double slot) { return width * slot / (sparkSlots - 1); }

double firstSlot(size_t count) { return static_cast<double>(sparkSlots) - static_cast<double>(count); }

}  // namespace

double sparkCeiling(const Spark& spark) {
  std::optional<double> candidate = spark.maxV;
  if (!candidate) {
    for (const auto& series : spark.series) {
      for (double v : series.values) {
        if (std::isfinite(v) && (!candidate || v > *candidate)) candidate = v;
      }
    }
  }
  double value = candidate.value_or(1.0);
  return std::isfinite(value) && value > 1.0 ? value : 1.0;
}

std::vector<QPointF> sparkLine(const std::vector<double>& values, double top, double width, double height) {
  std::vector<QPointF> points;
  if (values.size() < 2) return points;
  const double first = firstSlot(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    double v = std::isfinite(values[i]) ? std::min(top, values[i]) : 0;
    points.emplace_back(slotX(width, first + static_cast<double>(i)), height * (1 - v / top));
  }
  return points;
}

std::vector<QRectF> sparkBars(const std::vector<double>& values, double top, double width, double height) {
  std::vector<QRectF> bars;
  const double barWidth = std::max(width / (sparkSlots + 1), 1.0);
  const double first = firstSlot(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    if (!(values[i] > 0)) continue;
    double b = height * std::min(top, values[i]) / top;
    double x = std::min(slotX(width, first + static_cast<double>(i)), width - barWidth);
    bars.emplace_back(x, height - b, barWidth, b);
  }
  return bars;
}

void paintSpark(QPainter& painter, const QRectF& area, const Spark& spark) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  QPainterPath background;
  background.addRoundedRect(area, 4, 4);
  painter.fillPath(background, QColor(0, 0, 0, 38));
  painter.setClipPath(background);
  painter.translate(area.topLeft());
  const double top = sparkCeiling(spark);
  for (const auto& series : spark.series) {
    if (spark.bars) {
      for (const QRectF& bar : sparkBars(series.values, top, area.width(), area.height())) {
        painter.fillRect(bar, series.color);
      }
    } else {
      auto points = sparkLine(series.values, top, area.width(), area.height());
      if (points.empty()) continue;
      painter.setPen(QPen(series.color, 1.2));
      painter.drawPolyline(points.data(), static_cast<int>(points.size()));
    }
  }
  painter.restore();
}

}  // namespace tavlo::ui
