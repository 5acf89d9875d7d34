#pragma once
// The floating panels' common window: frameless, always on top, never activated and never given the
// keyboard focus, so a panel can show over any application without disturbing the user's typing.
// Fades animate the window opacity; a fade-out hides the window only if no show came after it began
// (every show and hide stops the fade under way, and its pending hide with it).
#include <functional>
#include <optional>

#include <QPropertyAnimation>
#include <QRect>
#include <QScreen>
#include <QWidget>

namespace tavlo::ui {

class FloatingPanel : public QWidget {
  Q_OBJECT

 public:
  FloatingPanel(QSize size, bool acceptsMouse, QWidget* parent = nullptr);

  // Shows at full opacity at once (no fade).
  void showNow();
  // Fades in over `ms` from transparent, or back to opaque from a fade-out under way.
  void fadeIn(int ms, int resumeMs);
  // Fades out over `ms`, then hides unless a show came meanwhile.
  void fadeOut(int ms);
  void hideNow();
  // A fade-out is under way: the panel is still visible but about to hide.
  bool fadingOut() const;

  // The top-right and bottom-right corner placements in the primary screen's available area, 16 px in.
  void placeTopRight();
  void placeBottomRight();
  // Centred under `anchor` (the tray icon), 6 px below it, kept 6 px inside `bounds`.
  void placeUnder(const QRect& anchor, const QRect& bounds);

 protected:
  // Called with the screen's free area before a corner placement: a panel may size itself to it.
  virtual void fitToArea(const QRect& area) { (void)area; }

 private:
  // Stops the fade under way, and with it a fade-out's pending hide.
  void stopFade();

  QPropertyAnimation* fade_;
};

// The available area of the primary screen, none without a screen.
std::optional<QRect> mainScreenArea();

}  // namespace tavlo::ui
