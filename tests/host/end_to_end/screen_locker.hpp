#pragma once
// A screen locker of the test's own on an X server: a window over the whole screen that holds the
// keyboard, reads what is typed into it and, on Return, checks it against its password; the right one
// unlocks (the window goes and the keyboard is let go) and is reported. Its keys come from whoever
// types on the server (the host's XTEST injection in these tests).
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo::endtoend {

class ScreenLocker {
 public:
  // Locks `display` now; false (with the reason in `error`) without a server or a keyboard grab.
  bool lock(const std::string& display, std::string password, std::function<void()> onUnlocked, std::string* error);
  ~ScreenLocker();

  // What was typed before each Return, in order.
  std::vector<std::string> attempts() const;
  bool unlocked() const { return unlocked_.load(); }

 private:
  void run();
  void keyPressed(uint8_t keycode);

  std::unique_ptr<XcbConnection> x_;
  uint32_t window_ = 0;
  std::string password_;
  std::function<void()> onUnlocked_;
  std::string typed_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> unlocked_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> attempts_;
};

}  // namespace tavlo::endtoend
