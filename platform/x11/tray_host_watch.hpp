#pragma once
// Tells when a tray host (a panel's notification area) appears on the X screen, goes, or is replaced:
// the owner of the screen's `_NET_SYSTEM_TRAY_S<n>` selection, followed through XFIXES selection events.
// A panel that starts after the host, or restarts, owns the selection anew, and the icon must be offered
// to it again.
//
// Everything that talks to the X server (the connection, the atom, the first owner) runs on the watch's
// own thread: a server that does not answer holds that thread, never the caller's. The callback runs on
// that thread too, first with the owner at start, then at each change; it should only post work elsewhere.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace tavlo {

class TrayHostWatch {
 public:
  // Whether a tray host owns the selection now. `onUnavailable` is called once, with the reason, when the
  // watch cannot run (no server, no XFIXES).
  using OwnerHandler = std::function<void(bool trayHostPresent)>;
  using FailureHandler = std::function<void(const std::string& reason)>;

  TrayHostWatch(std::string display, OwnerHandler onOwner, FailureHandler onUnavailable);
  // Wakes the thread and waits for it.
  ~TrayHostWatch();
  TrayHostWatch(const TrayHostWatch&) = delete;
  TrayHostWatch& operator=(const TrayHostWatch&) = delete;

 private:
  void run();

  std::string display_;
  OwnerHandler onOwner_;
  FailureHandler onUnavailable_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tavlo
