// The Updates pane: the installed version, whether the updater runs (and why not when it does not) with
// its last check and result, and a check on demand while it runs.
#include <QHBoxLayout>

#include "host/app/settings/settings_panes.hpp"

namespace tavlo {

namespace {

QString orUnknown(const std::string& text) { return text.empty() ? QStringLiteral("?") : QString::fromStdString(text); }

}  // namespace

UpdatesPane::UpdatesPane(HostController& host, SettingsWindowDependencies& deps, QWidget* parent)
    : QWidget(parent), host_(host), deps_(deps) {
  auto* layout = new QVBoxLayout(this);
  section = new SettingsSection(tr("Updates"), QString(), this);
  layout->addWidget(section);
  layout->addStretch(1);
  version = addValueRow(section->content(), tr("Installed version"), false);
  version->setText(orUnknown(deps_.updates.version) + QStringLiteral(" (") + orUnknown(deps_.updates.build) +
                   QStringLiteral(")"));
  status = addValueRow(section->content(), tr("Status"), false);
  status->setWordWrap(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  checkNow = new QPushButton(tr("Check Now"), section);
  buttons->addWidget(checkNow);
  section->content()->addLayout(buttons);
  connect(checkNow, &QPushButton::clicked, this, [this] {
    if (deps_.updates.checkNow && running()) deps_.updates.checkNow();
  });
  // The updater starts (or stays off) once and publishes a status as it does: following the status
  // follows whether it runs.
  observers_.follow(host_.updateStatus, [this] { refresh(); });
  refresh();
}

bool UpdatesPane::running() const { return deps_.updates.running && deps_.updates.running(); }

void UpdatesPane::refresh() {
  const std::string& text = host_.updateStatus.get();
  const bool on = running();
  // Before the host has started its updater (a waiting second instance never does), nothing is known.
  status->setText(text.empty() ? tr("Not started") : QString::fromStdString(text));
  checkNow->setEnabled(on && static_cast<bool>(deps_.updates.checkNow));
  if (on) {
    section->setFooter(tr("The host checks for updates at launch and every 24 hours, downloads them in the background "
                          "and installs them only when no client is connected. The update is signed and verified; "
                          "after installing, the host restarts itself. Channel: ") +
                       QString::fromStdString(deps_.updates.feedHost) + QStringLiteral("."));
  } else {
    section->setFooter(tr("This host does not update itself: a release folder, a build with the update signing key "
                          "and a feed address (tl.updateFeedURL) are all needed."));
  }
}

}  // namespace tavlo
