#pragma once
// The desktop session's power and lock state over D-Bus, on a thread of its own: an idle inhibitor from
// logind that keeps the displays from blanking while it is held, and a watch of the screen lock (this user's own session's
// LockedHint and Lock/Unlock, the session bus's screen saver) and of the machine going to sleep
// (logind's PrepareForSleep). Which signals are believed is ScreenLockTracker's.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/runtime/system_log.hpp"

namespace tavlo {

class ScreenStateWatcher {
 public:
  struct Events {
    std::function<void()> locked;
    std::function<void()> unlocked;
    std::function<void()> asleep;
    // The lock state has been read once: from here on `locked()` answers what the desktop says.
    std::function<void()> stateRead;
  };

  // Watches on a thread of its own; the events arrive there. A bus that cannot be reached is logged and
  // left out.
  static std::unique_ptr<ScreenStateWatcher> start(Events events, LogSink log);
  ~ScreenStateWatcher();
  ScreenStateWatcher(const ScreenStateWatcher&) = delete;
  ScreenStateWatcher& operator=(const ScreenStateWatcher&) = delete;

  // Whether the screen is locked (this user's session's LockedHint or the screen saver), as last read
  // or signalled; false before the first reading. Any thread; never waits on the bus.
  bool locked() const { return locked_.load(); }
  // Tells logind that this user's session is in use again (its idle hint cleared); sent from the
  // watcher's thread, so the caller never waits on the bus.
  void declareUserActive() { activityPending_.store(true); }
  // Holds logind's "idle" inhibitor (the displays do not blank) until told to let it go; taken and let
  // go on the watcher's thread. A refusal is logged.
  void holdDisplaysAwake(bool hold) { awakeWanted_.store(hold); }

 private:
  ScreenStateWatcher() = default;
  void run(Events events, LogSink log);

  std::atomic<bool> stop_{false};
  std::atomic<bool> locked_{false};
  std::atomic<bool> activityPending_{false};
  std::atomic<bool> awakeWanted_{false};
  std::thread thread_;
};

}  // namespace tavlo
