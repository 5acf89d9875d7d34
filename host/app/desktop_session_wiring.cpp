#include "host/app/desktop_session_wiring.hpp"

#include <cstdio>
#include <memory>

#include "platform/power/logind_power.hpp"
#include "platform/power/x11_screen_waker.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {
namespace {

// What the seams share; they are all called on the main executor.
struct DesktopSession {
  std::shared_ptr<ScreenStateWatcher> watcher;
  std::shared_ptr<X11ScreenWaker> waker;
  // The X server's answers are waited for here, not on the main executor.
  std::shared_ptr<SerialExecutor> wakeQueue;
};

}  // namespace

void wireDesktopSession(HostControllerSeams& seams, bool wakeX, const std::optional<std::string>& display) {
  auto desktop = std::make_shared<DesktopSession>();
  if (wakeX) {
    std::string error;
    desktop->waker = X11ScreenWaker::open(display.value_or(""), &error);
    if (desktop->waker) {
      desktop->wakeQueue = std::make_shared<SerialExecutor>("tavlo.wake");
    } else {
      std::fprintf(stderr, "tavlo-host: the X server's screen is not woken for clients (%s)\n", error.c_str());
    }
  }
  // A screen lock and the machine going to sleep end the client's session; the lock state it learns
  // decides admission and whether a client's password is typed.
  seams.watchScreen = [desktop](HostControllerSeams::ScreenEvents events, LogSink log) -> std::function<void()> {
    desktop->watcher = ScreenStateWatcher::start(
        {std::move(events.locked), std::move(events.unlocked), std::move(events.asleep), std::move(events.stateRead)},
        std::move(log));
    return [desktop] { desktop->watcher.reset(); };
  };
  seams.isScreenLocked = [desktop] { return desktop->watcher && desktop->watcher->locked(); };
  seams.declareUserActivity = [desktop] {
    if (desktop->watcher) desktop->watcher->declareUserActive();
    if (desktop->waker) desktop->wakeQueue->post([waker = desktop->waker] { waker->wake(); });
  };
  // While a client is connected logind's idle inhibitor keeps the displays from blanking.
  seams.preventDisplaySleep = [desktop]() -> std::function<void()> {
    if (!desktop->watcher) return nullptr;
    desktop->watcher->holdDisplaysAwake(true);
    return [desktop] {
      if (desktop->watcher) desktop->watcher->holdDisplaysAwake(false);
    };
  };
}

}  // namespace tavlo
