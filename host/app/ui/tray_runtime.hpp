#pragma once
// The tray application's process-wide part: the Qt application object, the event loop that drives the
// main executor, and the tray application once the controller exists. Made before the controller, so
// that the controller's first posts already wake the event loop.
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "host/app/ui/tray_app.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/system_log.hpp"

class QApplication;

namespace tavlo::ui {

class QtMainLoop;
}  // namespace tavlo::ui
namespace tavlo {
class TrayHostWatch;
}
namespace tavlo::ui {

class TrayRuntime {
 public:
  // Why Qt could not start here, asked before any Qt application exists: the platform that
  // QT_QPA_PLATFORM names (else the default one) has no plugin. Qt itself would abort.
  static std::optional<std::string> platformMissing();

  explicit TrayRuntime(MainExecutor& main);
  ~TrayRuntime();
  TrayRuntime(const TrayRuntime&) = delete;
  TrayRuntime& operator=(const TrayRuntime&) = delete;

  // Builds the tray application over `controller`. The quit hook ends the event loop after it ran.
  void startApp(HostController& controller, TrayHooks hooks);
  TrayApp* app() const { return app_.get(); }
  // Follows the tray host of `display` (its panel's notification area) from now on: the icons are offered
  // to each tray host that appears, also one that starts after the host or restarts. The log hears
  // whether there is one at start and each time one appears or goes; on GNOME, also whether its shell
  // shows status icons at all (only with the AppIndicator extension).
  void watchTrayHost(const std::string& display, LogSink log);
  // Runs the event loop until the executor quits; returns its status.
  int run();

 private:
  MainExecutor& main_;
  std::unique_ptr<QApplication> application_;
  std::unique_ptr<QtMainLoop> loop_;
  std::unique_ptr<TrayApp> app_;
  // Read and written on the main executor only.
  std::optional<bool> trayHostPresent_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<TrayHostWatch> trayHostWatch_;
  std::thread notifierCheck_;  // asks the session bus once, off the main thread
};

}  // namespace tavlo::ui
