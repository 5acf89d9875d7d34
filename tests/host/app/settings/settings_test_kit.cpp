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
  deps.autostart.launchAtLogin = [this] { return registeredLogin; };
  deps.autostart.keepRunning = [this] { return registeredKeepRunning; };
  deps.autostart.needsSystemApproval = [this] { return needsApproval; };
  deps.autostart.enforce = [this](bool login, bool keep) -> std::optional<std::string> {
    enforced.emplace_back(login, keep);
    if (enforceError) return enforceError;
    registeredLogin = login;
    registeredKeepRunning = login && keep;
    return std::nullopt;
  };
  if (withUpdater) deps.updates.checkNow = [this] { ++updateChecks; };
  deps.updates.version = "1.4";
  deps.updates.build = "140";
  deps.updates.feedHost = "updates.tavlo.example";
  deps.toggleDiagnosticsHud = [this] { ++hudToggles; };
  return deps;
}

std::shared_ptr<controllertest::FakeSession> SettingsRig::admitClient(const std::string& key) {
  return rig.admitSession(*controller, key);
}

}  // namespace tavlo::settingstest
