// The Updates pane: the installed version, the updater's status and a check on demand.
#include <QHBoxLayout>

#include "host/app/settings/settings_panes.hpp"

namespace tavlo {

namespace {

QString orUnknown(const std::string& text) { return text.empty() ? QStringLiteral("?") : QString::fromStdString(text); }

}  // namespace

UpdatesPane::UpdatesPane(HostController& host, SettingsWindowDependencies& deps, QWidget* parent)
    : QWidget(parent), host_(host), deps_(deps) {
  auto* layout = new QVBoxLayout(this);
  section = new SettingsSection(
      tr("Updates"),
      tr("The host checks for updates at launch and every 24 hours, downloads them in the background and installs "
         "them only when no client is connected. The update is signed and verified; after installing, the host "
         "restarts itself. Channel: ") +
          QString::fromStdString(deps_.updates.feedHost) + QStringLiteral("."),
      this);
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
    if (deps_.updates.checkNow) deps_.updates.checkNow();
  });
  checkNow->setEnabled(static_cast<bool>(deps_.updates.checkNow));
  observers_.follow(host_.updateStatus, [this] { refresh(); });
  refresh();
}

void UpdatesPane::refresh() {
  const std::string& text = host_.updateStatus.get();
  status->setText(text.empty() ? tr("Checks at launch and every 24 h") : QString::fromStdString(text));
}

}  // namespace tavlo
