#pragma once
// While a session is active, the physical displays are switched off again when the screen's layout
// changes (a hot-plug, another program switching one on), and every 0.5 s in case a change came
// without its event.
//
// A re-disable waits for the X server to settle (up to three passes of 250 ms), so it runs on the display
// worker, the one that also switches the displays back on when a session ends: the periodic check and a
// layout change only hand it over, and never reach the main executor. One check at most waits behind the
// one in progress; more requests meanwhile fold into it.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {

class IsolationWatch : public std::enable_shared_from_this<IsolationWatch> {
 public:
  static constexpr uint64_t checkEveryUs = 500'000;

  // `enforce` switches displays that came back off again (VirtualDisplayController::enforceIsolation);
  // it runs on `worker` only, which its owner shuts down. `scheduler` must outlive the watch.
  static std::shared_ptr<IsolationWatch> create(Scheduler& scheduler, std::shared_ptr<SerialExecutor> worker,
                                                std::function<void()> enforce);
  ~IsolationWatch();
  IsolationWatch(const IsolationWatch&) = delete;
  IsolationWatch& operator=(const IsolationWatch&) = delete;

  // Starts or stops the periodic check with the session (main executor).
  void sync(bool active);
  // A layout change: a check now, while active. Any thread; returns at once.
  void enforceNow();

 private:
  IsolationWatch(Scheduler& scheduler, std::shared_ptr<SerialExecutor> worker, std::function<void()> enforce);
  void requestCheck();

  Scheduler& scheduler_;
  const std::function<void()> enforce_;
  std::atomic<bool> active_{false};
  std::atomic<bool> checkQueued_{false};
  ScopedTimer timer_;  // main executor only
  const std::shared_ptr<SerialExecutor> worker_;
};

}  // namespace tavlo
