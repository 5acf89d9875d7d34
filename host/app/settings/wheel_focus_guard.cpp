#include "host/app/settings/wheel_focus_guard.hpp"

#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QEvent>
#include <QWidget>

namespace tavlo {

void WheelFocusGuard::guardControlsIn(QWidget* form) {
  for (QWidget* control : form->findChildren<QWidget*>()) {
    const bool takesTheWheel = qobject_cast<QAbstractSlider*>(control) || qobject_cast<QAbstractSpinBox*>(control) ||
                               qobject_cast<QComboBox*>(control);
    // A scroll bar belongs to the page's own scrolling: the wheel is what it is for.
    if (!takesTheWheel || control->inherits("QScrollBar")) continue;
    control->setFocusPolicy(Qt::StrongFocus);
    control->installEventFilter(this);
  }
}

bool WheelFocusGuard::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::Wheel) return false;
  auto* control = static_cast<QWidget*>(watched);
  if (control->hasFocus()) return false;
  // Ignored, the wheel goes on to the control's parents and so to the page's scroll area.
  event->ignore();
  return true;
}

}  // namespace tavlo
