#include "host/app/ui/tray_runtime.hpp"

#include <QApplication>

#include "host/app/ui/qt_main_loop.hpp"

namespace tavlo::ui {
namespace {

// QApplication keeps references to these for its whole life.
int applicationArgc = 1;
char applicationName[] = "tavlo-host";
char* applicationArgv[] = {applicationName, nullptr};

}  // namespace

TrayRuntime::TrayRuntime(MainExecutor& main)
    : main_(main), application_(std::make_unique<QApplication>(applicationArgc, applicationArgv)),
      loop_(std::make_unique<QtMainLoop>(main)) {
  // The tray icon, not a window, keeps the program alive.
  QApplication::setQuitOnLastWindowClosed(false);
}

TrayRuntime::~TrayRuntime() {
  app_.reset();
  loop_.reset();
}

void TrayRuntime::startApp(HostController& controller, TrayHooks hooks) {
  auto quit = std::move(hooks.quit);
  hooks.quit = [this, quit] {
    quit();
    if (auto status = main_.quitStatus()) QCoreApplication::exit(*status);
  };
  app_ = std::make_unique<TrayApp>(controller, std::move(hooks));
  app_->start();
}

int TrayRuntime::run() { return loop_->run(); }

}  // namespace tavlo::ui
