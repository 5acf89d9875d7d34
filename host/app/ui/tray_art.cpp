#include "host/app/ui/tray_art.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

namespace tavlo::ui {
namespace {

// A sail over its boom: the host's status icon, drawn for this project.
constexpr char velaSvg[] = R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="16" height="20" viewBox="0 0 16 20">
  <path d="M7 1 L7 16 L1 16 Z" fill="#ffffff" stroke="#3a3a3a" stroke-width="0.7"/>
  <path d="M9 3 C13 7 15 12 14 16 L9 16 Z" fill="#ffffff" stroke="#3a3a3a" stroke-width="0.7"/>
  <rect x="1" y="17" width="14" height="2" rx="1" fill="#ffffff" stroke="#3a3a3a" stroke-width="0.7"/>
</svg>)svg";

// A screen outline: the glyph for a device whose icon the desktop theme does not have.
QImage fallbackGlyph(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  // Strokes grow with the glyph, so that it stays a screen, not a hairline, in a 22 px tray.
  const double stroke = std::max(1.6, size * 0.16);
  p.setPen(QPen(Qt::white, stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawRoundedRect(QRectF(stroke / 2 + 0.5, stroke / 2 + 1, size - stroke - 1, size * 0.68 - stroke), 1.5, 1.5);
  p.drawLine(QPointF(size * 0.3, size - stroke / 2 - 0.5), QPointF(size * 0.7, size - stroke / 2 - 0.5));
  return image;
}

// The glyph whitened: only its shape is kept, so any theme icon reads on the red disc.
QImage whiteGlyph(const std::string& iconName, int size) {
  QIcon icon = QIcon::fromTheme(QString::fromStdString(iconName));
  if (icon.isNull()) return fallbackGlyph(size);
  QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
  QPainter p(&image);
  p.setCompositionMode(QPainter::CompositionMode_SourceAtop);
  p.fillRect(image.rect(), Qt::white);
  return image;
}

}  // namespace

QImage statusIconImage() {
  static QImage cached;
  if (!cached.isNull()) return cached;
  QSvgRenderer renderer(QByteArray(velaSvg, sizeof velaSvg - 1));
  QSizeF size = renderer.defaultSize();
  if (!renderer.isValid() || size.width() <= 0 || size.height() <= 0) return {};
  // Drawn at 4× so the tray can scale it down sharply.
  const double w = size.width() * 4, h = size.height() * 4;
  const int side = static_cast<int>(std::ceil(std::hypot(w, h)));
  QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(side / 2.0, side / 2.0);
  p.rotate(45);  // clockwise on a y-down canvas
  renderer.render(&p, QRectF(-w / 2, -h / 2, w, h));
  p.end();
  cached = image;
  return cached;
}

QIcon statusIcon() {
  QImage image = statusIconImage();
  return image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
}

QImage disconnectChip(const std::string& iconName, int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor red(255, 59, 48);
  p.setPen(Qt::NoPen);
  p.setBrush(red);
  p.drawEllipse(QRectF(0.5, 0.5, size - 1.0, size - 1.0));
  // The glyph is 12 px at 22 px, as large as a theme's small icons.
  // It sits up and to the left, clear of the badge.
  const int glyph = std::max(8, static_cast<int>(std::lround(size * 0.56)));
  p.drawImage(QRectF(size * 0.14, size * 0.13, glyph, glyph), whiteGlyph(iconName, glyph));
  // The cross says what a click does: a white badge with a red ×, over the disc's lower right.
  const double badge = size * 0.44, badgeAt = size - badge;
  p.setBrush(Qt::white);
  p.setPen(QPen(red, std::max(1.0, size / 24.0)));
  p.drawEllipse(QRectF(badgeAt, badgeAt, badge - 0.5, badge - 0.5));
  const double arm = badge * 0.22, cx = badgeAt + badge / 2.0 - 0.25, cy = cx;
  p.setPen(QPen(red, std::max(1.4, size / 14.0), Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(cx - arm, cy - arm), QPointF(cx + arm, cy + arm));
  p.drawLine(QPointF(cx - arm, cy + arm), QPointF(cx + arm, cy - arm));
  return image;
}

QIcon disconnectChipTrayIcon(const std::string& iconName) {
  QIcon icon;
  for (int size : {16, 22, 24, 26, 32, 48, 64}) icon.addPixmap(QPixmap::fromImage(disconnectChip(iconName, size)));
  return icon;
}

}  // namespace tavlo::ui
