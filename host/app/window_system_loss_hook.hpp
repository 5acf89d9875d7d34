#pragma once
// Qt ends the process itself, with exit(1), when the connection to its X server breaks (the server went
// away, the user logged out). This hook watches that connection and, once it hangs up, has exit() run
// `onExit` first, which does not return. It is registered with atexit() only then, so that it runs
// before the destructors of every static object made until that moment (a static made later would be
// gone before it runs).
#include <atomic>
#include <functional>
#include <thread>

namespace tavlo {

class WindowSystemLossHook {
 public:
  // `descriptor` is the connection's socket; -1 watches nothing.
  WindowSystemLossHook(int descriptor, std::function<void()> onExit);
  // Stops watching; an exit() from now on runs no hook.
  ~WindowSystemLossHook();
  WindowSystemLossHook(const WindowSystemLossHook&) = delete;
  WindowSystemLossHook& operator=(const WindowSystemLossHook&) = delete;

 private:
  void watch(int descriptor);

  std::function<void()> onExit_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread thread_;
};

}  // namespace tavlo
