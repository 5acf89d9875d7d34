// The General pane: start at login and keep running, through the autostart hooks.
#include <QPointer>

#include "host/app/settings/settings_panes.hpp"
#include "host/controller/autostart_reconciler.hpp"

namespace tavlo {

GeneralPane::GeneralPane(SettingsWindowDependencies& deps, QWidget* parent) : QWidget(parent), deps_(deps) {
  auto* layout = new QVBoxLayout(this);
  section = new SettingsSection(
      tr("Startup"),
      tr("Start at login makes this computer reachable right after you log in — without it the host only runs when "
         "you open it by hand. Keep running also brings the host back if it crashes or someone quits it at this "
         "computer; turn it off when you want to be able to close the host for good."),
      this);
  layout->addWidget(section);
  layout->addStretch(1);

  startAtLogin = new QCheckBox(tr("Start at login"), section);
  keepRunning = new QCheckBox(tr("Keep running"), section);
  approvalWarning = makeNote(
      tr("⚠ Turned off in this desktop's settings → Autostart. Enable Tavlo Host there."), warningColour(), section);
  approvalWarning->setFont(footnoteFont(approvalWarning->font()));
  autostartError = makeNote(QString(), QColor(Qt::red), section);
  autostartError->setFont(footnoteFont(autostartError->font()));
  section->content()->addWidget(startAtLogin);
  section->content()->addWidget(keepRunning);
  section->content()->addWidget(approvalWarning);
  section->content()->addWidget(autostartError);
  autostartError->hide();

  // Only the user's clicks run the handlers; what the pane shows after a registration is set with the
  // signals blocked, so that showing the system's answer never registers again.
  connect(startAtLogin, &QCheckBox::clicked, this, [this](bool on) {
    if (!on) showChecked(keepRunning, false);
    keepRunning->setEnabled(on);
    applyAutostart();
  });
  connect(keepRunning, &QCheckBox::clicked, this, [this](bool) { applyAutostart(); });
  rereadAutostart();
}

void GeneralPane::showEvent(QShowEvent* event) {
  rereadAutostart();
  QWidget::showEvent(event);
}

void GeneralPane::rereadAutostart() {
  if (registering_) return;  // the registration's answer reads again
  if (!deps_.autostart.read) {
    showStates({});
    return;
  }
  const uint64_t read = ++reads_;
  QPointer<GeneralPane> self(this);
  deps_.autostart.read([self, read](const SettingsWindowDependencies::AutostartState& state) {
    if (self && !self->registering_ && self->reads_ == read) self->showStates(state);
  });
}

void GeneralPane::applyAutostart() {
  const bool login = startAtLogin->isChecked();
  const bool keep = keepRunning->isChecked();
  if (!deps_.autostart.enforce) {
    storeAutostartWish(deps_.settings, login, keep);
    rereadAutostart();
    return;
  }
  // Until the system has answered, a further click would only queue another registration behind it.
  registering_ = true;
  startAtLogin->setEnabled(false);
  keepRunning->setEnabled(false);
  QPointer<GeneralPane> self(this);
  deps_.autostart.enforce(login, keep, [self, login, keep](const std::optional<std::string>& error) {
    if (!self) return;
    // All or nothing: a wish the system refused is not stored, so the next start does not try it again
    // and the pane, the files and the stored wish agree.
    if (!error) storeAutostartWish(self->deps_.settings, login, keep);
    self->registering_ = false;
    self->startAtLogin->setEnabled(true);
    self->keepRunning->setEnabled(self->startAtLogin->isChecked());
    self->autostartError->setText(error ? QString::fromStdString(*error) : QString());
    self->autostartError->setVisible(error.has_value());
    self->rereadAutostart();
  });
}

void GeneralPane::showStates(const SettingsWindowDependencies::AutostartState& state) {
  showChecked(startAtLogin, state.launchAtLogin);
  showChecked(keepRunning, state.keepRunning);
  keepRunning->setEnabled(state.launchAtLogin);
  approvalWarning->setVisible(state.needsSystemApproval);
}

}  // namespace tavlo
