#pragma once
// The forms of the settings window, one per pane. Each follows the controller's published values it
// shows for as long as it exists and commits through the controller (or the hooks it is given).
// Controls are reachable for the tests and the screenshots.
#include <array>
#include <optional>

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "host/app/settings/commit_slider.hpp"
#include "host/app/settings/settings_dependencies.hpp"
#include "host/app/settings/settings_form.hpp"
#include "host/app/settings/shortcut_recorder_row.hpp"
#include "host/controller/host_controller.hpp"

namespace tavlo {

class GeneralPane : public QWidget {
 public:
  GeneralPane(SettingsWindowDependencies& deps, QWidget* parent = nullptr);

  // Reads the registered states again (each time the pane is shown); they show once the system answers.
  void rereadAutostart();

  QCheckBox* startAtLogin;
  QCheckBox* keepRunning;
  QLabel* approvalWarning;
  QLabel* autostartError;
  SettingsSection* section;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void applyAutostart();
  void showStates(const SettingsWindowDependencies::AutostartState& state);

  SettingsWindowDependencies& deps_;
  // A registration under way: the boxes wait for its answer, and reads answered meanwhile are stale.
  bool registering_ = false;
  uint64_t reads_ = 0;  // the newest read's number; older answers are dropped
};

class DisplayPane : public QWidget {
 public:
  DisplayPane(HostController& host, QWidget* parent = nullptr);

  QWidget* macRow;
  QWidget* scaleControls;
  QLabel* scaleValue;
  CommitSlider* scaleSlider;
  SettingsSection* section;

 private:
  void refresh();

  HostController& host_;
  double scaleAtPress_ = 1.0;
  ModelObservers observers_;
};

class NetworkPane : public QWidget {
 public:
  NetworkPane(HostController& host, QWidget* parent = nullptr);

  QLabel* bandwidthValue;
  CommitSlider* bandwidthSlider;
  QCheckBox* allowNAT;
  QCheckBox* allowLAN;
  QCheckBox* allowVPN;
  QCheckBox* allowRelay;
  QLabel* allPathsOff;
  QLabel* bufferValue;
  CommitSlider* bufferSlider;
  QCheckBox* keyframeAutomatic;
  QLabel* keyframeTitle;
  QLabel* keyframeValue;
  CommitSlider* keyframeSlider;
  std::array<SettingsSection*, 4> sections{};

 private:
  void refresh();

  HostController& host_;
  ModelObservers observers_;
};

class ShortcutsPane : public QWidget {
 public:
  ShortcutsPane(HostController& host, QWidget* parent = nullptr);

  ShortcutRecorderRow* scaleUp;
  ShortcutRecorderRow* scaleDown;
  ShortcutRecorderRow* diagnostics;
  SettingsSection* section;

 private:
  void refresh();

  HostController& host_;
  ModelObservers observers_;
};

class UpdatesPane : public QWidget {
 public:
  UpdatesPane(HostController& host, SettingsWindowDependencies& deps, QWidget* parent = nullptr);

  QLabel* version;
  QLabel* status;
  QPushButton* checkNow;
  SettingsSection* section;

 private:
  bool running() const;
  void refresh();

  HostController& host_;
  SettingsWindowDependencies& deps_;
  ModelObservers observers_;
};

class DiagnosticsPane : public QWidget {
 public:
  // Log lines shown, the newest last.
  static constexpr int logLinesShown = 40;
  // The log is redrawn at most once in this time, and only while the pane is shown: a flood of lines
  // must not keep the Qt thread redrawing.
  static constexpr int logRedrawIntervalMs = 250;

  DiagnosticsPane(HostController& host, SettingsWindowDependencies& deps, QWidget* parent = nullptr);

  QWidget* captureRow;  // the display the host captures
  QWidget* inputRow;    // posting the client's input (the menu's warning opens the window here)
  QPushButton* toggleHud;
  QPlainTextEdit* log;
  std::array<SettingsSection*, 3> sections{};

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void logChanged();
  void refreshLog();
  void refreshPermissions();
  void checkCapture();

  HostController& host_;
  SettingsWindowDependencies& deps_;
  ModelObservers observers_;
  QTimer* logRedraw_;
  bool logStale_ = false;  // lines came while the pane was hidden
  std::optional<bool> captureMet_;  // none until the check answers
  QString captureFound_;
  bool captureAsked_ = false;  // a check is under way
};

}  // namespace tavlo
