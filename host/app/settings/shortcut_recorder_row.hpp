#pragma once
// One host shortcut in the settings: its title and a button showing the shortcut; pressing the button
// records the next key combination typed anywhere in the application; one row records at a time, so
// starting one ends the recording of another. While recording every key press is swallowed; Escape
// cancels, keys without a usage and combinations without a modifier are ignored, the first valid
// combination is handed to `onCapture` and recording ends. The row never changes the shortcut it shows:
// the owner calls setShortcut once the new one is stored.
#include <functional>

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include "hostcore/session/host_shortcut.hpp"

namespace tavlo {

class ShortcutRecorderRow : public QWidget {
 public:
  ShortcutRecorderRow(const QString& title, vela::HostShortcut shortcut,
                      std::function<void(vela::HostShortcut)> onCapture, QWidget* parent = nullptr);
  ~ShortcutRecorderRow() override;

  void setShortcut(vela::HostShortcut shortcut);
  void start();
  void stop();
  bool recording() const { return recording_; }

  QPushButton* button() const { return button_; }
  QString title() const { return title_->text(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void showLabel();

  QLabel* title_;
  QPushButton* button_;
  vela::HostShortcut shortcut_;
  std::function<void(vela::HostShortcut)> onCapture_;
  bool recording_ = false;  // also: the application's key presses pass through this row
};

}  // namespace tavlo
