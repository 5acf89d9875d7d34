#include "host/app/ui/diag_panel.hpp"

#include <algorithm>
#include <cmath>

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <QWheelEvent>

namespace tavlo::ui {
namespace {

constexpr int outer = 6, pad = 14, lineH = 15, spacing = 5, captionH = 12, pickerH = 18;
constexpr int contentLeft = outer + pad, contentWidth = 320 - 2 * pad;
constexpr int labelGap = 8, minLabelWidth = 84, pickerLabelWidth = 66;
// Below this much room for the charts, the panel scrolls everything under its header instead.
constexpr int minChartsView = 120;
constexpr int screenMargin = 16;  // the corner placement's distance from the screen's edges
constexpr int wheelStep = 40;     // pixels per wheel notch
const QColor primary(235, 235, 240), secondary(160, 160, 168), warningColor(255, 159, 10);
const char* const lastSwitchLabel = "ostatni switch";

QFont mono(int pixels, bool bold = false) {
  QFont f(QStringLiteral("monospace"));
  f.setStyleHint(QFont::Monospace);
  f.setPixelSize(pixels);
  if (bold) f.setWeight(QFont::DemiBold);
  return f;
}

// `text` wrapped into `width` (at word boundaries, inside a word when one is longer than the line) and
// drawn at (x, y) when `p` is given; its height, at least `minHeight`. A single line is centred in
// `minHeight`, as the labels beside it are.
int wrappedText(QPainter* p, const QFont& font, const QColor& colour, int x, int y, int width, const QString& text,
                int minHeight) {
  QTextLayout layout(text, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  qreal height = 0;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    line.setPosition(QPointF(0, height));
    height += line.height();
  }
  layout.endLayout();
  const int blockHeight = std::max(minHeight, static_cast<int>(std::ceil(height)));
  if (p) {
    p->setPen(colour);
    const qreal top = height < minHeight ? (minHeight - height) / 2 : 0;
    layout.draw(p, QPointF(x, y + top));
  }
  return blockHeight;
}

void divider(QPainter* p, int& y) {
  if (p) p->fillRect(QRect(contentLeft, y, contentWidth, 1), QColor(255, 255, 255, 40));
  y += 1 + spacing;
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
  relayout();
  update();
}

void DiagPanel::fitToArea(const QRect& area) {
  maxHeight_ = std::max(0, area.height() - 2 * screenMargin);
  relayout();
}

void DiagPanel::relayout() {
  // The label column holds the longest label, the last switch's included.
  const QFontMetrics labels(mono(11));
  labelWidth_ = std::max(minLabelWidth, labels.horizontalAdvance(QString::fromUtf8(lastSwitchLabel)));
  for (const auto& r : rows_) labelWidth_ = std::max(labelWidth_, labels.horizontalAdvance(QString::fromStdString(r.label)));
  contentHeight_ = layOut(nullptr);
  int height = contentHeight_;
  if (maxHeight_ > 0 && contentHeight_ > maxHeight_) {
    height = maxHeight_;
    const bool chartsFitBelowTheRest = !charts_.empty() && chartsTop_ + minChartsView <= maxHeight_;
    scrollTop_ = chartsFitBelowTheRest ? chartsTop_ : headerBottom_;
  } else {
    scrollTop_ = height;
  }
  resize(panelWidth, height);
  scroll_ = std::clamp(scroll_, 0, std::max(0, contentHeight_ - height));
}

void DiagPanel::scrollBy(int pixels) {
  const int before = scroll_;
  scroll_ = std::clamp(scroll_ + pixels, 0, std::max(0, contentHeight_ - height()));
  if (scroll_ != before) update();
}

int DiagPanel::layOut(QPainter* p) {
  rowHeights_.clear();
  const int valueLeft = contentLeft + labelWidth_ + labelGap;
  const int valueWidth = contentLeft + contentWidth - valueLeft;
  auto row = [&](int& y, const std::string& label, const std::string& value) {
    const int height = wrappedText(p, mono(11), primary, valueLeft, y, valueWidth, QString::fromStdString(value), lineH);
    if (p) {
      p->setFont(mono(11));
      p->setPen(secondary);
      p->drawText(QRect(contentLeft, y, labelWidth_, lineH), Qt::AlignLeft | Qt::AlignVCenter,
                  QString::fromStdString(label));
    }
    rowHeights_.push_back(height);
    y += height + spacing;
  };

  int y = outer + pad;
  if (p) {
    p->setFont(mono(11, true));
    p->setPen(primary);
    p->drawText(QRect(contentLeft, y, contentWidth, lineH), Qt::AlignLeft | Qt::AlignVCenter,
                QStringLiteral("∿ Tavlo — diagnostyka"));
  }
  y += lineH + spacing;
  divider(p, y);
  headerBottom_ = y;
  if (rows_.empty()) {
    const int height =
        wrappedText(p, mono(11), secondary, contentLeft, y, contentWidth, QString::fromUtf8(noStreamText), lineH);
    rowHeights_.push_back(height);
    y += height + spacing;
  } else {
    for (const auto& r : rows_) row(y, r.label, r.value);
  }
  divider(p, y);
  row(y, lastSwitchLabel, state_.lastSwitchInfo);

  pickerTop_ = y;
  if (p) {
    p->setFont(mono(10));
    p->setPen(secondary);
    p->drawText(QRect(contentLeft, y, pickerLabelWidth, pickerH), Qt::AlignLeft | Qt::AlignVCenter,
                QStringLiteral("żądaj tor"));
    const int left = contentLeft + pickerLabelWidth + 6, width = contentWidth - pickerLabelWidth - 6;
    const int count = static_cast<int>(pathChoices().size());
    for (int i = 0; i < count; ++i) {
      const QRect segment(left + width * i / count, y, width / count, pickerH);
      const bool selected = state_.context.clientForcePath == pathChoices()[i].request;
      QPainterPath shape;
      shape.addRoundedRect(QRectF(segment).adjusted(1, 1, -1, -1), 4, 4);
      p->fillPath(shape, selected ? QColor(255, 255, 255, 70) : QColor(255, 255, 255, 18));
      p->setPen(selected ? primary : secondary);
      p->drawText(segment, Qt::AlignCenter, QString::fromLatin1(pathChoices()[i].title));
    }
  }
  y += pickerH + spacing;
  if (!warning_.empty()) {
    y += wrappedText(p, mono(10), warningColor, contentLeft, y, contentWidth, QString::fromStdString(warning_), lineH) +
         spacing;
  }
  chartsTop_ = y;
  if (!charts_.empty()) {
    divider(p, y);
    for (const auto& chart : charts_) {
      if (p) caption(*p, y, chart.caption);
      y += captionH + 2;
      if (p) paintSpark(*p, QRectF(contentLeft, y, contentWidth, chart.spark.height), chart.spark);
      y += static_cast<int>(chart.spark.height) + spacing;
    }
  }
  return y + pad - spacing + outer;
}

std::vector<QRect> DiagPanel::pathSegments() const {
  std::vector<QRect> segments;
  const int left = contentLeft + pickerLabelWidth + 6, width = contentWidth - pickerLabelWidth - 6;
  const int top = pickerTop_ >= scrollTop_ ? pickerTop_ - scroll_ : pickerTop_;
  const int count = static_cast<int>(pathChoices().size());
  for (int i = 0; i < count; ++i) segments.emplace_back(left + width * i / count, top, width / count, pickerH);
  return segments;
}

void DiagPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath background;
  background.addRoundedRect(QRectF(rect()).adjusted(outer, outer, -outer, -outer), 14, 14);
  p.fillPath(background, QColor(28, 28, 32, 230));

  // The fixed part, then the scrolled part shifted by the offset and kept between the fixed part and the
  // panel's bottom padding.
  const int viewBottom = height() - outer - pad / 2;
  p.save();
  p.setClipRect(QRect(0, 0, width(), std::min(scrollTop_, height())));
  layOut(&p);
  p.restore();
  if (scrollTop_ >= height()) return;
  p.save();
  p.setClipRect(QRect(0, scrollTop_, width(), viewBottom - scrollTop_));
  p.translate(0, -scroll_);
  layOut(&p);
  p.restore();
  // Where the view is within the scrolled part: a thin bar at the right edge.
  const int view = viewBottom - scrollTop_;
  const int maxScroll = contentHeight_ - height();
  if (view <= 0 || maxScroll <= 0) return;
  const int barHeight = std::max(16, view * view / (view + maxScroll));
  const int barTop = scrollTop_ + (view - barHeight) * scroll_ / maxScroll;
  QPainterPath bar;
  bar.addRoundedRect(QRectF(width() - outer - 5, barTop, 3, barHeight), 1.5, 1.5);
  p.fillPath(bar, QColor(255, 255, 255, 90));
}

void DiagPanel::wheelEvent(QWheelEvent* event) {
  if (!scrolls()) {
    event->ignore();
    return;
  }
  const QPoint pixels = event->pixelDelta();
  scrollBy(!pixels.isNull() ? -pixels.y() : -event->angleDelta().y() * wheelStep / 120);
  event->accept();
}

void DiagPanel::mousePressEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  const auto segments = pathSegments();
  for (size_t i = 0; i < segments.size(); ++i) {
    // A segment scrolled under the header is not there to be clicked.
    if (segments[i].contains(at) && (segments[i].top() >= scrollTop_ || pickerTop_ < scrollTop_)) {
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
