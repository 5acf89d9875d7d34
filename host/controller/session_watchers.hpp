#pragma once
// Two small watchers of the controller's main thread. The input-permission watchdog asks every 5 s
// whether the host may inject the client's input (on X11: whether the XTEST extension answers) and
// publishes `inputBlocked`, warning once per loss; an X server that went away is reported as gone, once,
// and no longer asked. The compositor keepalive shows a tiny window on the virtual display while the
// client's input is active and hides it after 3 s of silence.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/input/xtest_access.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class InputPermissionWatchdog : public std::enable_shared_from_this<InputPermissionWatchdog> {
 public:
  struct Dependencies {
    Scheduler& scheduler;
    std::function<void(std::function<void()>)> postToMain;
    std::function<InputAccess()> access;
    std::function<void(bool blocked)> publishBlocked;
    std::function<bool()> blocked;  // the published value now
    LogSink log;
  };
  static std::shared_ptr<InputPermissionWatchdog> start(Dependencies deps);
  ~InputPermissionWatchdog();
  // Asks now (main thread): the timer's check, and the settings window's request for the permission.
  void check();

 private:
  explicit InputPermissionWatchdog(Dependencies deps) : deps_(std::move(deps)) {}
  void stopAsking();

  Dependencies deps_;
  std::optional<Scheduler::JobId> timer_;
  bool warned_ = false;
  bool serverGone_ = false;
};

// The window the keepalive shows; nothing while the host has no virtual display.
class KeepaliveWindow {
 public:
  virtual ~KeepaliveWindow() = default;
  virtual bool show() = 0;  // false: no virtual display to show it on
  virtual void hide() = 0;
};

class CompositorKeepalive : public std::enable_shared_from_this<CompositorKeepalive> {
 public:
  static std::shared_ptr<CompositorKeepalive> create(KeepaliveWindow& window, Scheduler& scheduler,
                                                     std::function<void(std::function<void()>)> postToMain,
                                                     LogSink log);
  ~CompositorKeepalive();
  // Client input arrived (main thread).
  void noteInputActivity();
  bool active() const { return active_; }

 private:
  CompositorKeepalive(KeepaliveWindow& window, Scheduler& scheduler,
                      std::function<void(std::function<void()>)> postToMain, LogSink log)
      : window_(window), scheduler_(scheduler), postToMain_(std::move(postToMain)), log_(std::move(log)) {}
  void armHide(uint64_t delayUs);
  // The hide timer fired: hides after keepaliveSilenceUs without input, else waits for the rest of it.
  void hideIfSilent();

  KeepaliveWindow& window_;
  Scheduler& scheduler_;
  std::function<void(std::function<void()>)> postToMain_;
  LogSink log_;
  std::optional<Scheduler::JobId> hideJob_;
  uint64_t lastInputUs_ = 0;
  bool active_ = false;
};

}  // namespace tavlo
