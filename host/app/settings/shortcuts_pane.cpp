// The Shortcuts pane: the three host shortcuts, the scale ones only for clients that do not set their
// own scale.
#include "host/app/settings/settings_panes.hpp"

namespace tavlo {

ShortcutsPane::ShortcutsPane(HostController& host, QWidget* parent) : QWidget(parent), host_(host) {
  auto* layout = new QVBoxLayout(this);
  section = new SettingsSection(tr("Keyboard shortcuts"), QString(), this);
  layout->addWidget(section);
  layout->addStretch(1);
  auto capture = [this](uint8_t action) {
    return [this, action](vela::HostShortcut captured) { host_.setShortcut(action, captured); };
  };
  scaleUp = new ShortcutRecorderRow(tr("Scale up"), host_.scaleUpShortcut.get(),
                                    capture(HostController::scaleUpAction), section);
  scaleDown = new ShortcutRecorderRow(tr("Scale down"), host_.scaleDownShortcut.get(),
                                      capture(HostController::scaleDownAction), section);
  diagnostics = new ShortcutRecorderRow(tr("Open diagnostics"), host_.diagShortcut.get(),
                                        capture(HostController::diagToggleAction), section);
  section->content()->addWidget(scaleUp);
  section->content()->addWidget(scaleDown);
  section->content()->addWidget(diagnostics);
  observers_.follow(host_.scaleUpShortcut, [this] { refresh(); });
  observers_.follow(host_.scaleDownShortcut, [this] { refresh(); });
  observers_.follow(host_.diagShortcut, [this] { refresh(); });
  observers_.follow(host_.clientPlatform, [this] { refresh(); });
  refresh();
}

void ShortcutsPane::refresh() {
  const bool mac = host_.clientPlatform.get() == vela::Platform::mac;
  scaleUp->setShortcut(host_.scaleUpShortcut.get());
  scaleDown->setShortcut(host_.scaleDownShortcut.get());
  diagnostics->setShortcut(host_.diagShortcut.get());
  scaleUp->setVisible(!mac);
  scaleDown->setVisible(!mac);
  section->setFooter(mac ? tr("The macOS client controls its own resolution — scaling shortcuts are inactive. The "
                              "diagnostics shortcut remains. Detected HOST-side in the key stream.")
                         : tr("Detected HOST-side in the key stream from the client (the client just forwards keys, "
                              "unaware of them). Holding a scale shortcut steps the glass slider on the virtual "
                              "screen; the image rescales after the modifiers are released. Click the field and "
                              "press a combination — requires ≥1 modifier, Esc cancels."));
}

}  // namespace tavlo
