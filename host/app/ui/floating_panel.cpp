#include "host/app/ui/floating_panel.hpp"

#include <algorithm>

#include <QGuiApplication>

namespace tavlo::ui {

FloatingPanel::FloatingPanel(QSize size, bool acceptsMouse, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus | Qt::X11BypassWindowManagerHint),
      fade_(new QPropertyAnimation(this, "windowOpacity", this)) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_TransparentForMouseEvents, !acceptsMouse);
  setFocusPolicy(Qt::NoFocus);
  resize(size);
}

void FloatingPanel::stopFade() {
  fade_->stop();
  fade_->disconnect(this);
}

void FloatingPanel::showNow() {
  stopFade();
  setWindowOpacity(1.0);
  show();
  raise();
}

void FloatingPanel::fadeIn(int ms, int resumeMs) {
  if (isVisible() && windowOpacity() >= 1.0 && fade_->state() != QAbstractAnimation::Running) return;
  stopFade();
  if (isVisible()) {
    ms = resumeMs;
  } else {
    setWindowOpacity(0.0);
    show();
    raise();
  }
  fade_->setDuration(ms);
  fade_->setStartValue(windowOpacity());
  fade_->setEndValue(1.0);
  fade_->start();
}

void FloatingPanel::fadeOut(int ms) {
  if (!isVisible()) return;
  stopFade();
  fade_->setDuration(ms);
  fade_->setStartValue(windowOpacity());
  fade_->setEndValue(0.0);
  connect(fade_, &QPropertyAnimation::finished, this, &QWidget::hide);
  fade_->start();
}

void FloatingPanel::hideNow() {
  stopFade();
  hide();
}

bool FloatingPanel::fadingOut() const {
  return fade_->state() == QAbstractAnimation::Running && fade_->endValue().toDouble() < 1.0;
}

std::optional<QRect> mainScreenArea() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return std::nullopt;
  return screen->availableGeometry();
}

void FloatingPanel::placeTopRight() {
  if (auto area = mainScreenArea()) {
    fitToArea(*area);
    move(area->right() + 1 - width() - 16, area->top() + 16);
  }
}

void FloatingPanel::placeBottomRight() {
  if (auto area = mainScreenArea()) {
    fitToArea(*area);
    move(area->right() + 1 - width() - 16, area->bottom() + 1 - height() - 16);
  }
}

void FloatingPanel::placeUnder(const QRect& anchor, const QRect& bounds) {
  int x = anchor.center().x() - width() / 2;
  x = std::max(bounds.left() + 6, std::min(x, bounds.right() + 1 - width() - 6));
  int y = anchor.bottom() + 1 + 6;
  // A tray at the bottom of the screen: the panel goes above the icon instead of off the screen.
  if (y + height() > bounds.bottom() + 1) y = anchor.top() - height() - 6;
  move(x, y);
}

}  // namespace tavlo::ui
