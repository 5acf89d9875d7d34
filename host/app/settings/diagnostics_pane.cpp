// The Diagnostics pane: the window system's permissions, the diagnostics panel's switch and the
// newest log lines.
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPointer>
#include <QScrollBar>

#include "host/app/settings/settings_panes.hpp"

namespace tavlo {

namespace {

// A need's row: a mark, the title, and on the right what was found ("available") or a "Check again"
// button that runs `recheck`; below them, while the need is not met, what to do on this desktop.
QWidget* makeNeedRow(const QString& title, std::function<void()> recheck, const QString& remedy, QWidget* parent) {
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
  auto* state = makeNote(QString(), secondaryColour(), row);
  state->setObjectName(QStringLiteral("state"));
  layout->addWidget(state);
  auto* again = new QPushButton(QObject::tr("Check again"), row);
  again->setObjectName(QStringLiteral("recheck"));
  layout->addWidget(again);
  QObject::connect(again, &QPushButton::clicked, row, [recheck = std::move(recheck)] {
    if (recheck) recheck();
  });
  if (!remedy.isEmpty()) {
    auto* note = makeNote(remedy, secondaryColour(), row);
    note->setObjectName(QStringLiteral("remedy"));
    note->setFont(footnoteFont(note->font()));
    rows->addWidget(note);
  }
  return row;
}

// `met`: none while not known yet. `found` says what the check saw.
void showNeed(QWidget* row, std::optional<bool> met, const QString& found) {
  auto* mark = row->findChild<QLabel*>(QStringLiteral("mark"));
  const bool ok = met.value_or(false);
  mark->setText(!met ? QStringLiteral("…") : ok ? QStringLiteral("✔") : QStringLiteral("⚠"));
  QPalette palette = mark->palette();
  palette.setColor(QPalette::WindowText, ok ? QColor(0x34, 0xc7, 0x59) : met ? warningColour() : secondaryColour());
  mark->setPalette(palette);
  row->findChild<QLabel*>(QStringLiteral("state"))
      ->setText(!met ? QObject::tr("Checking…") : found.isEmpty() ? (ok ? QObject::tr("Available") : QObject::tr("Missing"))
                                                                  : found);
  row->findChild<QPushButton*>(QStringLiteral("recheck"))->setVisible(met && !ok);
  if (auto* remedy = row->findChild<QLabel*>(QStringLiteral("remedy"))) remedy->setVisible(met && !ok);
}

QString titleOr(const std::string& title, const QString& otherwise) {
  return title.empty() ? otherwise : QString::fromStdString(title);
}

}  // namespace

DiagnosticsPane::DiagnosticsPane(HostController& host, SettingsWindowDependencies& deps, QWidget* parent)
    : QWidget(parent), host_(host), deps_(deps) {
  auto* layout = new QVBoxLayout(this);
  const auto& needs = deps_.desktop;
  sections[0] = new SettingsSection(
      tr("Permissions"),
      tr("What the host needs of this desktop to stream it and to post the client's mouse and keyboard, checked "
         "here each time the pane opens."),
      this);
  captureRow = makeNeedRow(titleOr(needs.capture.title, tr("Screen capture")), [this] { checkCapture(); },
                           QString::fromStdString(needs.capture.remedy), sections[0]);
  inputRow = makeNeedRow(titleOr(needs.input.title, tr("Input posting")), deps_.desktop.recheckInput,
                         QString::fromStdString(needs.input.remedy), sections[0]);
  sections[0]->content()->addWidget(captureRow);
  sections[0]->content()->addWidget(inputRow);
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
  checkCapture();
  refreshLog();
}

void DiagnosticsPane::showEvent(QShowEvent* event) {
  checkCapture();
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
  showNeed(captureRow, captureMet_, captureFound_);
  const bool inputMet = !host_.inputBlocked.get();
  showNeed(inputRow, inputMet, inputMet ? tr("Available") : tr("Missing"));
}

void DiagnosticsPane::checkCapture() {
  if (!deps_.desktop.checkCapture) {
    captureMet_ = false;
    captureFound_ = tr("Not checked");
    refreshPermissions();
    return;
  }
  if (captureAsked_) return;
  captureAsked_ = true;
  // The answer comes later; the pane may be gone by then.
  deps_.desktop.checkCapture([pane = QPointer<DiagnosticsPane>(this)](bool met, std::string found) {
    if (!pane) return;
    pane->captureAsked_ = false;
    pane->captureMet_ = met;
    pane->captureFound_ = QString::fromStdString(found);
    pane->refreshPermissions();
  });
  if (captureAsked_) refreshPermissions();  // still asking: "Checking…"
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
