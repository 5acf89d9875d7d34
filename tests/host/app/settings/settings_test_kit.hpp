#pragma once
// A settings window over a started controller on recorders, with autostart, updater and diagnostics
// hooks that record what reaches them.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>

#include "host/app/settings/settings_window.hpp"
#include "tests/host/controller/controller_test_kit.hpp"

namespace tavlo::settingstest {

// The process's application object, made once on the platform the environment names (offscreen when
// it names none).
QApplication& application();

struct SettingsRig {
  controllertest::ControllerRig rig;
  std::shared_ptr<HostController> controller = rig.startedController();
  // What the autostart hooks report as registered, and what they were asked to register.
  bool registeredLogin = true;
  bool registeredKeepRunning = true;
  bool needsApproval = false;
  std::optional<std::string> enforceError;
  std::vector<std::pair<bool, bool>> enforced;
  // While set, the autostart hooks keep their answers, as a slow user manager does, until answerAll().
  bool holdAnswers = false;
  std::vector<std::function<void()>> heldAnswers;
  void answerAll();
  int updateChecks = 0;
  bool updaterRunning = true;  // what the updater hook answers (with an updater)
  int hudToggles = 0;
  int inputRechecks = 0;
  // What the capture check answers, and how often it was asked.
  bool captureMet = true;
  std::string captureFound = "display :7, MIT-SHM";
  int captureChecks = 0;
  std::unique_ptr<SettingsWindow> window;

  explicit SettingsRig(bool withUpdater = true);
  SettingsWindowDependencies dependencies(bool withUpdater);
  // A client admitted through the controller, so that it is the controller's session.
  std::shared_ptr<controllertest::FakeSession> admitClient(const std::string& key = "device-A");
};

}  // namespace tavlo::settingstest
