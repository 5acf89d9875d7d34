#pragma once
// The tray application: the status icon with its menu, the disconnect chip while a client is
// connected, the three floating panels and the settings window, all driven by the controller's
// published state.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include "host/app/settings/settings_window.hpp"
#include "host/app/ui/controller_model.hpp"
#include "host/app/ui/diag_panel.hpp"
#include "host/app/ui/hud_panels.hpp"
#include "host/app/ui/menu_model.hpp"

class QLabel;

namespace tavlo::ui {

struct TrayHooks {
  // Makes the settings window at its first opening; the tray application keeps it from then on.
  std::function<std::unique_ptr<SettingsWindow>()> makeSettingsWindow = [] { return nullptr; };
  std::function<void()> quit = [] {};
  std::function<void(const std::string&)> setClientForcePath = [](const std::string&) {};
  std::function<uint64_t()> lastOptionClickNs = [] { return uint64_t{0}; };
  std::function<uint64_t()> uptimeNs = [] { return uint64_t{0}; };
  // The "tl.diagHUD" preference (the diagnostics panel is wanted), kept across runs by the program.
  std::function<bool()> loadDiagnosticsWanted = [] { return false; };
  std::function<void(bool)> storeDiagnosticsWanted = [](bool) {};
};

class TrayApp : public QObject {
  Q_OBJECT

 public:
  TrayApp(HostController& controller, TrayHooks hooks, QObject* parent = nullptr);
  ~TrayApp() override;

  // Builds the icon, the menu and the subscriptions once; a standby instance waits for its turn.
  void start();

  // The "Settings…" item: the settings window, made on first use and kept, so that closing it only
  // hides it with its pane and history.
  void openSettings();
  // The warning item: the settings window at the event-posting permission, which says what to do on
  // this desktop.
  void openAccessibilitySettings();
  SettingsWindow* settingsWindow() const { return settingsWindow_.get(); }

  void toggleDiagnostics();
  void syncDiagnosticsVisibility();
  void updateScalePanel(std::optional<double> value);
  void updateClipPanel(const std::optional<ClipTransfer>& transfer);

  // The menu as it would open now (the entries), and the menu itself, rebuilt on opening.
  MenuState menuState() const;
  QMenu* menu() const { return menu_.get(); }
  void rebuildMenu();
  // Offers the icons shown so far to a tray host that appeared or replaced the one before: Qt embeds an
  // icon only into the tray host there is when it is shown.
  void offerIcons();
  QSystemTrayIcon* statusItem() const { return statusItem_.get(); }
  QSystemTrayIcon* disconnectItem() const { return disconnectItem_.get(); }
  DiagPanel* diagPanel() const { return diagPanel_.get(); }
  ScalePanel* scalePanel() const { return scalePanel_.get(); }
  ClipPanel* clipPanel() const { return clipPanel_.get(); }
  bool diagnosticsWanted() const { return diagnosticsWanted_; }

 private:
  void setUpUi();
  void refreshDisconnectItem();
  void refreshDiagPanel();
  QWidget* makeScaleSliderView();
  SettingsWindow* ensureSettingsWindow();

  HostController& controller_;
  TrayHooks hooks_;
  std::unique_ptr<ControllerModel> model_;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> statusItem_;
  std::unique_ptr<QSystemTrayIcon> disconnectItem_;
  std::optional<std::string> chipIconName_;
  std::unique_ptr<DiagPanel> diagPanel_;
  std::unique_ptr<ScalePanel> scalePanel_;
  std::unique_ptr<ClipPanel> clipPanel_;
  std::unique_ptr<SettingsWindow> settingsWindow_;
  QPointer<QLabel> scaleValueLabel_;
  bool diagnosticsWanted_ = false;
  bool uiBuilt_ = false;
};

}  // namespace tavlo::ui
