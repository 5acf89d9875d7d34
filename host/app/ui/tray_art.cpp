#include "host/app/ui/tray_art.hpp"

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

QFont chipFont() {
  QFont font;
  font.setPixelSize(12);
  font.setWeight(QFont::DemiBold);
  return font;
}

// A screen outline: the glyph for a device whose icon the desktop theme does not have.
QImage fallbackGlyph(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::white, 1.6));
  p.drawRoundedRect(QRectF(2, 3, size - 4, size - 8), 2, 2);
  p.drawLine(QPointF(size / 2.0 - 3, size - 2), QPointF(size / 2.0 + 3, size - 2));
  return image;
}

// The glyph whitened: only its shape is kept, so any theme icon reads on the red capsule.
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

QString disconnectChipText() { return QStringLiteral("Disconnect"); }

int chipWidth(const QString& text) {
  return static_cast<int>(std::ceil(QFontMetricsF(chipFont()).horizontalAdvance(text))) + 32 + 9;
}

QImage disconnectChip(const std::string& iconName) {
  const QString text = disconnectChipText();
  const int width = chipWidth(text);
  QImage image(width, chipHeight, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath capsule;
  capsule.addRoundedRect(QRectF(0, 0, width, chipHeight), chipHeight / 2.0, chipHeight / 2.0);
  p.fillPath(capsule, QColor(255, 59, 48));
  p.drawImage(QRectF(9, (chipHeight - 18) / 2.0, 18, 18), whiteGlyph(iconName, 18));
  p.setFont(chipFont());
  p.setPen(Qt::white);
  p.drawText(QRectF(18 + 9 + 5, 0, width - 32, chipHeight), Qt::AlignVCenter | Qt::AlignLeft, text);
  return image;
}

}  // namespace tavlo::ui
