#pragma once
// Runs the controller's main executor inside the Qt event loop: every post wakes the loop, which then
// runs the queued jobs on the GUI thread, so the controller and the views share one thread and the
// views can read the controller's state directly.
#include <functional>

#include "platform/runtime/main_executor.hpp"

namespace tavlo::ui {

class QtMainLoop {
 public:
  // Needs the QApplication to exist; hooks itself into `main` at once.
  explicit QtMainLoop(MainExecutor& main);
  // Unhooks: posts after this no longer touch the event loop.
  ~QtMainLoop();
  QtMainLoop(const QtMainLoop&) = delete;
  QtMainLoop& operator=(const QtMainLoop&) = delete;

  // Runs the event loop until the executor is told to quit; returns the quit status.
  int run();

 private:
  struct Shared;
  MainExecutor& main_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace tavlo::ui
