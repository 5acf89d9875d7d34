#include "host/app/settings/shortcut_recorder_row.hpp"

#include <QApplication>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>

#include "host/app/settings/shortcut_keys.hpp"

namespace tavlo {

namespace {

constexpr uint16_t escapeUsage = 0x29;

// The row that records now: the keys typed anywhere in the application go to one row only.
ShortcutRecorderRow* recordingRow = nullptr;

}  // namespace

ShortcutRecorderRow::ShortcutRecorderRow(const QString& title, vela::HostShortcut shortcut,
                                         std::function<void(vela::HostShortcut)> onCapture, QWidget* parent)
    : QWidget(parent),
      title_(new QLabel(title, this)),
      button_(new QPushButton(this)),
      shortcut_(shortcut),
      onCapture_(std::move(onCapture)) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(title_);
  row->addStretch(1);
  button_->setMinimumWidth(110);
  button_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  // The button never takes the keyboard focus: a space typed while recording is a key to record.
  button_->setFocusPolicy(Qt::NoFocus);
  row->addWidget(button_);
  connect(button_, &QPushButton::clicked, this, [this] { recording_ ? stop() : start(); });
  showLabel();
}

ShortcutRecorderRow::~ShortcutRecorderRow() { stop(); }

void ShortcutRecorderRow::setShortcut(vela::HostShortcut shortcut) {
  shortcut_ = shortcut;
  showLabel();
}

void ShortcutRecorderRow::start() {
  if (recordingRow && recordingRow != this) recordingRow->stop();
  recordingRow = this;
  if (!recording_) qApp->installEventFilter(this);
  recording_ = true;
  showLabel();
}

void ShortcutRecorderRow::stop() {
  if (recordingRow == this) recordingRow = nullptr;
  if (recording_) qApp->removeEventFilter(this);
  recording_ = false;
  showLabel();
}

void ShortcutRecorderRow::hideEvent(QHideEvent* event) {
  stop();
  QWidget::hideEvent(event);
}

bool ShortcutRecorderRow::eventFilter(QObject* watched, QEvent* event) {
  if (!recording_) return QWidget::eventFilter(watched, event);
  if (event->type() == QEvent::ShortcutOverride) {
    // Accepted, so that no menu or window shortcut takes the combination before it is recorded.
    event->accept();
    return true;
  }
  if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
  const auto* key = static_cast<QKeyEvent*>(event);
  const std::optional<uint16_t> usage = shortcutUsageForXKeycode(key->nativeScanCode());
  // Escape cancels with any modifiers, so it can never become a shortcut's key.
  if (key->key() == Qt::Key_Escape || usage == escapeUsage) {
    stop();
    return true;
  }
  const Qt::KeyboardModifiers held = key->modifiers();
  const bool ctrl = held.testFlag(Qt::ControlModifier);
  const bool opt = held.testFlag(Qt::AltModifier);
  const bool cmd = held.testFlag(Qt::MetaModifier);
  const bool shift = held.testFlag(Qt::ShiftModifier);
  if (!usage || !(ctrl || opt || cmd || shift)) return true;
  const vela::HostShortcut captured{*usage, ctrl, opt, cmd, shift};
  // Recording ends before the owner hears of it: the owner may rebuild or hide this row.
  stop();
  if (onCapture_) onCapture_(captured);
  return true;
}

void ShortcutRecorderRow::showLabel() {
  button_->setText(recording_ ? tr("Press a shortcut…") : QString::fromStdString(shortcutText(shortcut_)));
  QPalette palette = button_->palette();
  if (recording_) {
    palette.setColor(QPalette::Button, palette.color(QPalette::Highlight));
    palette.setColor(QPalette::ButtonText, palette.color(QPalette::HighlightedText));
  } else {
    palette = QApplication::palette(button_);
  }
  button_->setPalette(palette);
}

}  // namespace tavlo
