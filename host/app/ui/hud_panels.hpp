#pragma once
// The scale panel (the display scale being chosen with the shortcuts) and the clipboard-transfer card.
#include <optional>

#include "host/app/ui/floating_panel.hpp"
#include "protocol/session_messages.hpp"

namespace tavlo::ui {

class ScalePanel : public FloatingPanel {
  Q_OBJECT

 public:
  explicit ScalePanel(QWidget* parent = nullptr);
  void setScale(double scale);
  double scale() const { return scale_; }
  QString percentText() const;
  // The filled part of the bar, in pixels of `barWidth` (at least 4).
  static double filledWidth(double scale, double barWidth);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double scale_ = 1.0;
};

struct ClipTransfer {
  bool sending = true;  // from this computer to the client
  vela::Platform peer = vela::Platform::iPad;
  uint32_t sent = 0;
  uint32_t total = 0;
  bool done = false;
  friend bool operator==(const ClipTransfer&, const ClipTransfer&) = default;
};

class ClipPanel : public FloatingPanel {
  Q_OBJECT

 public:
  explicit ClipPanel(QWidget* parent = nullptr);
  // A present transfer is shown; an absent one keeps the last card while the panel fades out.
  void setTransfer(const std::optional<ClipTransfer>& transfer);
  const std::optional<ClipTransfer>& shown() const { return shown_; }
  QString titleText() const;
  QString detailText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::optional<ClipTransfer> shown_;
};

}  // namespace tavlo::ui
