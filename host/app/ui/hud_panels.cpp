#include "host/app/ui/hud_panels.hpp"

#include <algorithm>

#include <QIcon>
#include <QPainter>
#include <QPainterPath>

#include "host/app/ui/panel_text.hpp"

namespace tavlo::ui {
namespace {

void paintCard(QPainter& p, const QRectF& card, double radius) {
  QPainterPath shape;
  shape.addRoundedRect(card, radius, radius);
  p.fillPath(shape, QColor(36, 36, 40, 225));
  p.setPen(QPen(QColor(255, 255, 255, 31), 0.5));
  p.drawPath(shape);
}

QFont sizedFont(int pixels, QFont::Weight weight) {
  QFont f;
  f.setPixelSize(pixels);
  f.setWeight(weight);
  return f;
}

// A device icon from the desktop theme, or our own screen outline when the theme lacks it.
void paintDevice(QPainter& p, const QRectF& box, const char* themeName) {
  QIcon icon = QIcon::fromTheme(QString::fromLatin1(themeName));
  if (!icon.isNull()) {
    icon.paint(&p, box.toRect());
    return;
  }
  p.setPen(QPen(QColor(235, 235, 240), 1.6));
  p.drawRoundedRect(box.adjusted(4, 5, -4, -9), 3, 3);
  p.drawLine(QPointF(box.center().x() - 5, box.bottom() - 4), QPointF(box.center().x() + 5, box.bottom() - 4));
}

const char* peerIcon(vela::Platform peer) {
  switch (peer) {
    case vela::Platform::mac: return "computer-laptop";
    case vela::Platform::iPhone: return "phone";
    case vela::Platform::iPad: return "tablet";
    case vela::Platform::vision: return "video-display";
  }
  return "video-display";
}

}  // namespace

ScalePanel::ScalePanel(QWidget* parent) : FloatingPanel(QSize(312, 90), false, parent) {}

void ScalePanel::setScale(double scale) {
  scale_ = scale;
  update();
}

QString ScalePanel::percentText() const { return QString::fromStdString(scalePanelPercent(scale_)); }

double ScalePanel::filledWidth(double scale, double barWidth) {
  return std::max(barWidth * scalePanelFill(scale), 4.0);
}

void ScalePanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF card = QRectF(rect()).adjusted(6, 6, -6, -6);
  paintCard(p, card, 24);
  const QRectF inner = card.adjusted(16, 12, -16, -12);
  p.setPen(QColor(240, 240, 245));
  p.setFont(sizedFont(13, QFont::DemiBold));
  p.drawText(QRectF(inner.left(), inner.top(), inner.width(), 20), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Screen scaling"));
  p.drawText(QRectF(inner.left(), inner.top(), inner.width(), 20), Qt::AlignRight | Qt::AlignVCenter, percentText());
  // The bar runs from 100% (the zoom-in end, on the left) to 200% (the zoom-out end, on the right).
  const double rowY = inner.top() + 28;
  p.setFont(sizedFont(15, QFont::Normal));
  p.drawText(QRectF(inner.left(), rowY, 18, 20), Qt::AlignCenter, QStringLiteral("+"));
  p.drawText(QRectF(inner.right() - 18, rowY, 18, 20), Qt::AlignCenter, QStringLiteral("−"));
  const QRectF bar(inner.left() + 28, rowY + 8, inner.width() - 56, 4);
  QPainterPath track;
  track.addRoundedRect(bar, 2, 2);
  p.fillPath(track, QColor(240, 240, 245, 38));
  QPainterPath fill;
  fill.addRoundedRect(QRectF(bar.left(), bar.top(), filledWidth(scale_, bar.width()), bar.height()), 2, 2);
  p.fillPath(fill, QColor(240, 240, 245));
}

ClipPanel::ClipPanel(QWidget* parent) : FloatingPanel(QSize(300, 92), false, parent) {}

void ClipPanel::setTransfer(const std::optional<ClipTransfer>& transfer) {
  if (!transfer) return;
  shown_ = transfer;
  update();
}

QString ClipPanel::titleText() const {
  return shown_ ? QString::fromStdString(clipCardTitle(shown_->sending)) : QString();
}

QString ClipPanel::detailText() const {
  return shown_ ? QString::fromStdString(clipCardDetail(shown_->sent, shown_->total)) : QString();
}

void ClipPanel::paintEvent(QPaintEvent*) {
  if (!shown_) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF card = QRectF(rect()).adjusted(8, 8, -8, -8);
  paintCard(p, card, 18);
  const QRectF inner = card.adjusted(18, 12, -18, -12);
  const char* here = "computer";
  const char* peer = peerIcon(shown_->peer);
  paintDevice(p, QRectF(inner.left(), inner.center().y() - 17, 40, 34), shown_->sending ? here : peer);
  paintDevice(p, QRectF(inner.right() - 40, inner.center().y() - 17, 40, 34), shown_->sending ? peer : here);
  const double x = inner.left() + 40 + 14;
  const double w = inner.width() - 2 * (40 + 14);
  p.setPen(QColor(200, 200, 205));
  p.setFont(sizedFont(11, QFont::DemiBold));
  p.drawText(QRectF(x, inner.top(), w, 16), Qt::AlignLeft | Qt::AlignVCenter, titleText());
  const double fraction = shown_->total == 0 ? 0 : static_cast<double>(shown_->sent) / shown_->total;
  const QRectF bar(x, inner.top() + 22, std::min(132.0, w), 4);
  p.fillRect(bar, QColor(255, 255, 255, 40));
  p.fillRect(QRectF(bar.left(), bar.top(), bar.width() * std::clamp(fraction, 0.0, 1.0), bar.height()),
             QColor(10, 132, 255));
  p.setPen(QColor(160, 160, 165));
  p.setFont(sizedFont(10, QFont::Normal));
  p.drawText(QRectF(x, inner.top() + 30, w, 16), Qt::AlignLeft | Qt::AlignVCenter, detailText());
}

}  // namespace tavlo::ui
