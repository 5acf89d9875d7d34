#pragma once
// A slider over whole positions with its two end labels, that reports every move and commits on
// release. The commit comes at every release, also when the move already left the controller showing
// the released value (the controller's own "nothing changed" test would otherwise store nothing).
// Moves by keyboard or wheel (the settings window lets the wheel reach a slider only once it has the
// focus) have no release: they commit at once. A knob held while the slider hides
// (its page or window goes) gets no release either: the hiding ends the drag as a release would.
#include <functional>

#include <QSlider>
#include <QWidget>

namespace tavlo {

class CommitSlider : public QWidget {
 public:
  CommitSlider(const QString& accessibleName, int minimum, int maximum, const QString& minimumLabel,
               const QString& maximumLabel, QWidget* parent = nullptr);

  // The knob goes where the model says, unless the user holds it; moving it this way reports nothing.
  void showPosition(int position);

  std::function<void(int position)> onMove;
  std::function<void(int position)> onCommit;

  QSlider* slider() const { return slider_; }

 protected:
  void hideEvent(QHideEvent* event) override;

 private:
  void moved(int position);

  QSlider* slider_;
  bool showing_ = false;
};

}  // namespace tavlo
