#include "host/app/ui/diag_panel.hpp"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace tavlo::ui {
namespace {

constexpr int outer = 6, pad = 14, lineH = 15, spacing = 5, captionH = 12;
constexpr int contentLeft = outer + pad, contentWidth = 320 - 2 * pad;
const QColor primary(235, 235, 240), secondary(160, 160, 168), warningColor(255, 159, 10);

QFont mono(int pixels, bool bold = false) {
  QFont f(QStringLiteral("monospace"));
  f.setStyleHint(QFont::Monospace);
  f.setPixelSize(pixels);
  if (bold) f.setWeight(QFont::DemiBold);
  return f;
}

void divider(QPainter& p, int& y) {
  p.fillRect(QRect(contentLeft, y, contentWidth, 1), QColor(255, 255, 255, 40));
  y += 1 + spacing;
}

void row(QPainter& p, int& y, const std::string& label, const std::string& value) {
  p.setFont(mono(11));
  p.setPen(secondary);
  p.drawText(QRect(contentLeft, y, 84, lineH), Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(label));
  p.setPen(primary);
  // The panel keeps its fixed width: a value too long for it ends in "…" rather than being cut mid-glyph.
  const int valueWidth = contentWidth - 92;
  p.drawText(QRect(contentLeft + 92, y, valueWidth, lineH), Qt::AlignLeft | Qt::AlignVCenter,
             p.fontMetrics().elidedText(QString::fromStdString(value), Qt::ElideRight, valueWidth));
  y += lineH + spacing;
}

void caption(QPainter& p, int y, const std::vector<ChartCaptionItem>& items) {
  p.setFont(mono(9));
  int x = contentLeft;
  for (const auto& item : items) {
    p.setPen(Qt::NoPen);
    p.setBrush(item.color);
    p.drawEllipse(QRectF(x, y + (captionH - 6) / 2.0, 6, 6));
    x += 6 + 4;
    QString text = QString::fromStdString(item.text);
    p.setPen(secondary);
    p.drawText(QRect(x, y, contentWidth, captionH), Qt::AlignLeft | Qt::AlignVCenter, text);
    x += p.fontMetrics().horizontalAdvance(text) + 8;
  }
}

}  // namespace

DiagPanel::DiagPanel(QWidget* parent) : FloatingPanel(QSize(panelWidth, 252), true, parent) { setState({}); }

void DiagPanel::setState(DiagPanelState state) {
  state_ = std::move(state);
  rows_ = diagRows(state_.diag, state_.context);
  warning_ = pathMismatchWarning(state_.diag, state_.context.clientForcePath);
  charts_ = diagCharts(state_.history);
  resize(panelWidth, contentHeight());
  update();
}

int DiagPanel::pickerTop() const {
  int y = outer + pad + lineH + spacing + 1 + spacing;
  y += rows_.empty() ? lineH + spacing : static_cast<int>(rows_.size()) * (lineH + spacing);
  y += 1 + spacing + lineH + spacing;  // divider, last switch
  return y;
}

int DiagPanel::contentHeight() const {
  int y = pickerTop() + 18 + spacing;
  if (!warning_.empty()) y += lineH + spacing;
  if (!charts_.empty()) {
    y += 1 + spacing;
    for (const auto& chart : charts_) y += captionH + 2 + static_cast<int>(chart.spark.height) + spacing;
  }
  return y + pad - spacing + outer;
}

std::vector<QRect> DiagPanel::pathSegments() const {
  std::vector<QRect> segments;
  const int left = contentLeft + 66 + 6, width = contentWidth - 66 - 6;
  const int count = static_cast<int>(pathChoices().size());
  for (int i = 0; i < count; ++i) {
    segments.emplace_back(left + width * i / count, pickerTop(), width / count, 18);
  }
  return segments;
}

void DiagPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath background;
  background.addRoundedRect(QRectF(rect()).adjusted(outer, outer, -outer, -outer), 14, 14);
  p.fillPath(background, QColor(28, 28, 32, 230));

  int y = outer + pad;
  p.setFont(mono(11, true));
  p.setPen(primary);
  p.drawText(QRect(contentLeft, y, contentWidth, lineH), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("∿ Tavlo — diagnostyka"));
  y += lineH + spacing;
  divider(p, y);
  if (rows_.empty()) {
    p.setFont(mono(11));
    p.setPen(secondary);
    p.drawText(QRect(contentLeft, y, contentWidth, lineH), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromUtf8(noStreamText));
    y += lineH + spacing;
  } else {
    for (const auto& r : rows_) row(p, y, r.label, r.value);
  }
  divider(p, y);
  row(p, y, "ostatni switch", state_.lastSwitchInfo);

  p.setFont(mono(10));
  p.setPen(secondary);
  p.drawText(QRect(contentLeft, y, 66, 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("żądaj tor"));
  const auto segments = pathSegments();
  for (size_t i = 0; i < segments.size(); ++i) {
    bool selected = state_.context.clientForcePath == pathChoices()[i].request;
    QPainterPath shape;
    shape.addRoundedRect(QRectF(segments[i]).adjusted(1, 1, -1, -1), 4, 4);
    p.fillPath(shape, selected ? QColor(255, 255, 255, 70) : QColor(255, 255, 255, 18));
    p.setPen(selected ? primary : secondary);
    p.drawText(segments[i], Qt::AlignCenter, QString::fromLatin1(pathChoices()[i].title));
  }
  y += 18 + spacing;
  if (!warning_.empty()) {
    p.setPen(warningColor);
    p.drawText(QRect(contentLeft, y, contentWidth, lineH), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromStdString(warning_));
    y += lineH + spacing;
  }
  if (!charts_.empty()) {
    divider(p, y);
    for (const auto& chart : charts_) {
      caption(p, y, chart.caption);
      y += captionH + 2;
      paintSpark(p, QRectF(contentLeft, y, contentWidth, chart.spark.height), chart.spark);
      y += static_cast<int>(chart.spark.height) + spacing;
    }
  }
}

void DiagPanel::mousePressEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  const auto segments = pathSegments();
  for (size_t i = 0; i < segments.size(); ++i) {
    if (segments[i].contains(at)) {
      if (onForcePath_) onForcePath_(pathChoices()[i].request);
      return;
    }
  }
  // Anywhere else drags the panel; the next placement puts it back in its corner.
  dragOffset_ = event->globalPosition().toPoint() - pos();
}

void DiagPanel::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) move(event->globalPosition().toPoint() - dragOffset_);
}

}  // namespace tavlo::ui
