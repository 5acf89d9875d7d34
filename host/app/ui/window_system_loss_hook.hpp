#pragma once
// Qt ends the process itself, with exit(1), when the connection to its X server breaks (the server went
// away, the user logged out), right after it warns "The X11 connection broke". While this hook lives,
// that warning runs `onLoss` first, on the Qt thread and with the whole program still in place; `onLoss`
// does not return.
#include <functional>

namespace tavlo::ui {

class WindowSystemLossHook {
 public:
  explicit WindowSystemLossHook(std::function<void()> onLoss);
  ~WindowSystemLossHook();
  WindowSystemLossHook(const WindowSystemLossHook&) = delete;
  WindowSystemLossHook& operator=(const WindowSystemLossHook&) = delete;
};

}  // namespace tavlo::ui
