// The Diagnostics pane: the window system's permissions, the diagnostics panel's switch and the
// newest log lines.
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QScrollBar>

#include "host/app/settings/settings_panes.hpp"

namespace tavlo {

namespace {

// A permission's row: a mark, the title, and "Granted" or a "Grant" button that runs `request`; below
// them, when `hint` is given, what to do on this desktop while it is not granted.
QWidget* makePermissionRow(const QString& title, std::function<void()> request, const QString& hint,
                           QWidget* parent) {
  auto* row = new QWidget(parent);
  auto* rows = new QVBoxLayout(row);
  rows->setContentsMargins(0, 0, 0, 0);
  auto* layout = new QHBoxLayout;
  rows->addLayout(layout);
  auto* mark = new QLabel(row);
  mark->setObjectName(QStringLiteral("mark"));
  layout->addWidget(mark);
  layout->addWidget(new QLabel(title, row));
  layout->addStretch(1);
  auto* granted = makeNote(QObject::tr("Granted"), secondaryColour(), row);
  granted->setObjectName(QStringLiteral("granted"));
  layout->addWidget(granted);
  auto* grant = new QPushButton(QObject::tr("Grant"), row);
  grant->setObjectName(QStringLiteral("grant"));
  layout->addWidget(grant);
  QObject::connect(grant, &QPushButton::clicked, row, [request = std::move(request)] {
    if (request) request();
  });
  if (!hint.isEmpty()) {
    auto* note = makeNote(hint, secondaryColour(), row);
    note->setObjectName(QStringLiteral("hint"));
    note->setFont(footnoteFont(note->font()));
    rows->addWidget(note);
  }
  return row;
}

void showPermission(QWidget* row, bool granted) {
  auto* mark = row->findChild<QLabel*>(QStringLiteral("mark"));
  mark->setText(granted ? QStringLiteral("✔") : QStringLiteral("⚠"));
  QPalette palette = mark->palette();
  palette.setColor(QPalette::WindowText, granted ? QColor(0x34, 0xc7, 0x59) : warningColour());
  mark->setPalette(palette);
  row->findChild<QLabel*>(QStringLiteral("granted"))->setVisible(granted);
  row->findChild<QPushButton*>(QStringLiteral("grant"))->setVisible(!granted);
  if (auto* hint = row->findChild<QLabel*>(QStringLiteral("hint"))) hint->setVisible(!granted);
}

}  // namespace

DiagnosticsPane::DiagnosticsPane(HostController& host, SettingsWindowDependencies& deps, QWidget* parent)
    : QWidget(parent), host_(host), deps_(deps) {
  auto* layout = new QVBoxLayout(this);
  sections[0] = new SettingsSection(
      tr("Permissions"), tr("System audio recording and local network are granted separately on first use."), this);
  screenRecordingRow = makePermissionRow(tr("Screen recording"), deps_.screenCapture.request, QString(), sections[0]);
  eventPostingRow = makePermissionRow(
      tr("Event posting (Accessibility)"), deps_.requestEventPosting,
      tr("This X server offers no XTEST extension, so the client's mouse and keyboard do nothing on this "
         "desktop. XTEST is on unless it was turned off: remove \"-extension XTEST\" from the X server's command "
         "line, or Option \"XTEST\" \"Disable\" from the Extensions section of its xorg.conf, and start the X "
         "session again. Grant asks the X server again."),
      sections[0]);
  sections[0]->content()->addWidget(screenRecordingRow);
  sections[0]->content()->addWidget(eventPostingRow);
  // The row follows the watchdog's verdict while the window lives, not only when the pane is shown.
  observers_.follow(host_.inputBlocked, [this] { refreshPermissions(); });

  sections[1] = new SettingsSection(
      QString(),
      tr("A floating panel with stream metrics (bitrate, loss, cascade, media). Locally at this computer: the tray "
         "item is visible when opened with Alt."),
      this);
  toggleHud = new QPushButton(tr("Toggle diagnostics HUD"), sections[1]);
  sections[1]->content()->addWidget(toggleHud);
  connect(toggleHud, &QPushButton::clicked, this, [this] {
    if (deps_.toggleDiagnosticsHud) deps_.toggleDiagnosticsHud();
  });

  sections[2] = new SettingsSection(tr("Log"), QString(), this);
  log = new QPlainTextEdit(sections[2]);
  log->setReadOnly(true);
  log->setLineWrapMode(QPlainTextEdit::NoWrap);
  log->setFixedHeight(260);
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSize(10);
  log->setFont(mono);
  sections[2]->content()->addWidget(log);

  for (SettingsSection* section : sections) layout->addWidget(section);
  layout->addStretch(1);
  logRedraw_ = new QTimer(this);
  logRedraw_->setSingleShot(true);
  logRedraw_->setInterval(logRedrawIntervalMs);
  connect(logRedraw_, &QTimer::timeout, this, [this] {
    if (isVisible()) {
      refreshLog();
    } else {
      logStale_ = true;
    }
  });
  observers_.follow(host_.logLines, [this] { logChanged(); });
  refreshPermissions();
  refreshLog();
}

void DiagnosticsPane::showEvent(QShowEvent* event) {
  refreshPermissions();
  if (logStale_) refreshLog();
  QWidget::showEvent(event);
}

void DiagnosticsPane::logChanged() {
  if (!isVisible()) {
    logStale_ = true;
    return;
  }
  if (!logRedraw_->isActive()) logRedraw_->start();
}

void DiagnosticsPane::refreshPermissions() {
  showPermission(screenRecordingRow, !deps_.screenCapture.granted || deps_.screenCapture.granted());
  showPermission(eventPostingRow, !host_.inputBlocked.get());
}

void DiagnosticsPane::refreshLog() {
  logStale_ = false;
  const std::vector<std::string>& lines = host_.logLines.get();
  const size_t first = lines.size() > static_cast<size_t>(logLinesShown) ? lines.size() - logLinesShown : 0;
  QStringList shown;
  for (size_t i = first; i < lines.size(); ++i) shown.push_back(QString::fromStdString(lines[i]));
  log->setPlainText(shown.join(QLatin1Char('\n')));
  log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum());
}

}  // namespace tavlo
