#pragma once
// Keeps a scrolling page from changing settings: a slider, spin box or list box under the pointer takes
// the mouse wheel only once it has the keyboard focus (a click or Tab gives it); until then the wheel
// scrolls the page around it, as the user meant.
#include <QObject>

class QWidget;

namespace tavlo {

class WheelFocusGuard : public QObject {
 public:
  explicit WheelFocusGuard(QObject* parent = nullptr) : QObject(parent) {}

  // Guards every such control inside `form`; they take the focus by click or Tab, not by the wheel.
  void guardControlsIn(QWidget* form);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace tavlo
