#include "tests/host/app/settings/settings_test_kit.hpp"

#include <cstdlib>

#include <gtest/gtest.h>


namespace tavlo::settingstest {

namespace {

// Ends the application when the tests end: later, at exit, Qt's own globals are already gone and its
// destructor would crash.
class ApplicationEnvironment final : public testing::Environment {
 public:
  void TearDown() override { delete QApplication::instance(); }
};

}  // namespace

QApplication& application() {
  static int argc = 1;
  static char name[] = "tavlo_settings_test";
  static char* argv[] = {name, nullptr};
  if (auto* running = qobject_cast<QApplication*>(QApplication::instance())) return *running;
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  auto* app = new QApplication(argc, argv);
  testing::AddGlobalTestEnvironment(new ApplicationEnvironment);
  return *app;
}

SettingsRig::SettingsRig(bool withUpdater) {
  application();
  window = std::make_unique<SettingsWindow>(*controller, dependencies(withUpdater));
}

SettingsWindowDependencies SettingsRig::dependencies(bool withUpdater) {
  SettingsWindowDependencies deps{rig.settings};
  auto reply = [this](std::function<void()> answer) {
    if (holdAnswers) {
      heldAnswers.push_back(std::move(answer));
    } else {
      answer();
    }
  };
  deps.autostart.read = [this, reply](std::function<void(SettingsWindowDependencies::AutostartState)> answer) {
    reply([this, answer] { answer({registeredLogin, registeredKeepRunning, needsApproval}); });
  };
  deps.autostart.enforce = [this, reply](bool login, bool keep, std::function<void(std::optional<std::string>)> answer) {
    enforced.emplace_back(login, keep);
    reply([this, login, keep, answer] {
      if (!enforceError) {
        registeredLogin = login;
        registeredKeepRunning = login && keep;
      }
      answer(enforceError);
    });
  };
  deps.updates.checkNow = [this] { ++updateChecks; };
  deps.updates.running = [this, withUpdater] { return withUpdater && updaterRunning; };
  deps.updates.version = "1.4";
  deps.updates.build = "140";
  deps.updates.feedHost = "updates.tavlo.example";
  deps.toggleDiagnosticsHud = [this] { ++hudToggles; };
  deps.desktop.capture = {"X display to capture", "Start the host in an X session."};
  deps.desktop.input = {"XTEST extension (the client's input)", "This X server offers no XTEST extension."};
  deps.desktop.checkCapture = [this](std::function<void(bool, std::string)> answer) {
    ++captureChecks;
    answer(captureMet, captureFound);
  };
  deps.desktop.recheckInput = [this] { ++inputRechecks; };
  return deps;
}

void SettingsRig::answerAll() {
  // An answer may ask again (a registration reads the states back): those are answered too.
  while (!heldAnswers.empty()) {
    auto answers = std::exchange(heldAnswers, {});
    for (auto& answer : answers) answer();
  }
}

std::shared_ptr<controllertest::FakeSession> SettingsRig::admitClient(const std::string& key) {
  return rig.admitSession(*controller, key);
}

}  // namespace tavlo::settingstest
