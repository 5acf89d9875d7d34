#pragma once
// The desktop session's power and lock state over D-Bus: an idle inhibitor from logind that keeps the
// displays from blanking while it is held, and a watch of the screen lock (logind's Lock/Unlock of
// this user's own session, the session bus's ScreenSaver ActiveChanged) and of the machine going to sleep
// (logind's PrepareForSleep).
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/runtime/system_log.hpp"

namespace tavlo {

// Holds logind's "idle" inhibitor until released; none (with a line in `log`) when logind cannot be
// reached. Returns what releases it.
std::function<void()> takeIdleInhibitor(const std::string& why, const LogSink& log);

class ScreenStateWatcher {
 public:
  struct Events {
    std::function<void()> locked;
    std::function<void()> unlocked;
    std::function<void()> asleep;
  };

  // Watches on a thread of its own; the events arrive there. A bus that cannot be reached is logged and
  // left out.
  static std::unique_ptr<ScreenStateWatcher> start(Events events, LogSink log);
  ~ScreenStateWatcher();
  ScreenStateWatcher(const ScreenStateWatcher&) = delete;
  ScreenStateWatcher& operator=(const ScreenStateWatcher&) = delete;

  // What a D-Bus signal means, by its interface, member and first argument (a Bool for
  // ActiveChanged and PrepareForSleep); the watcher's thread calls it for each signal.
  static void dispatch(const Events& events, const std::string& interface, const std::string& member,
                       bool firstArgument);

 private:
  ScreenStateWatcher() = default;
  void run(Events events, LogSink log);

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tavlo
