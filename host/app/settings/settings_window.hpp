#pragma once
// The host's settings window: a searchable sidebar of panes with back and forward through the panes
// visited, and the selected pane's form. Made once by the application and kept for the life of the
// process: closing it only hides it, so reopening shows the same pane, search and history. The
// controller and the dependencies must outlive it; it runs on the controller's main thread.
#include <map>
#include <memory>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollArea>
#include <QStackedWidget>
#include <QToolButton>
#include <QWidget>

#include "host/app/settings/settings_dependencies.hpp"
#include "host/app/settings/settings_form.hpp"
#include "host/app/settings/settings_pane.hpp"
#include "host/app/settings/settings_panes.hpp"
#include "host/app/settings/wheel_focus_guard.hpp"
#include "host/controller/host_controller.hpp"

namespace tavlo {

class SettingsWindow : public QWidget {
 public:
  SettingsWindow(HostController& host, SettingsWindowDependencies deps, QWidget* parent = nullptr);
  ~SettingsWindow() override;

  // Selects the pane (recorded in the history like a click in the sidebar), shows the window and brings
  // it to the front.
  void showPane(SettingsPane pane);
  void showAndRaise();
  // Shows the Diagnostics pane scrolled to the event-posting permission, its button focused: where the
  // window says what to do when the client's input cannot be injected.
  void showEventPostingPermission();

  void select(SettingsPane pane);
  void goBack();
  void goForward();
  SettingsPane selection() const { return navigation_.selection(); }
  const SettingsNavigation& navigation() const { return navigation_; }
  // The panes the sidebar lists now, in order.
  std::vector<SettingsPane> listedPanes() const;

  QLineEdit* search() const { return search_; }
  QListWidget* sidebar() const { return sidebar_; }
  QToolButton* backButton() const { return back_; }
  QToolButton* forwardButton() const { return forward_; }
  QLabel* heading() const { return heading_; }

  GeneralPane* generalPane() const { return general_; }
  DisplayPane* displayPane() const { return display_; }
  NetworkPane* networkPane() const { return network_; }
  ShortcutsPane* shortcutsPane() const { return shortcuts_; }
  UpdatesPane* updatesPane() const { return updates_; }
  DiagnosticsPane* diagnosticsPane() const { return diagnostics_; }

 private:
  QWidget* buildSidebar();
  void addPane(SettingsPane pane, QWidget* form);
  void refreshSidebar();
  void showSelection();
  void clientConnectionChanged();

  HostController& host_;
  SettingsWindowDependencies deps_;
  SettingsNavigation navigation_;
  bool wasConnected_ = false;
  bool refreshingSidebar_ = false;

  QLineEdit* search_ = nullptr;
  QListWidget* sidebar_ = nullptr;
  QToolButton* back_ = nullptr;
  QToolButton* forward_ = nullptr;
  QLabel* heading_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  std::map<SettingsPane, QScrollArea*> pages_;
  WheelFocusGuard* wheelGuard_ = new WheelFocusGuard(this);
  GeneralPane* general_ = nullptr;
  DisplayPane* display_ = nullptr;
  NetworkPane* network_ = nullptr;
  ShortcutsPane* shortcuts_ = nullptr;
  UpdatesPane* updates_ = nullptr;
  DiagnosticsPane* diagnostics_ = nullptr;
  ModelObservers observers_;
};

}  // namespace tavlo
