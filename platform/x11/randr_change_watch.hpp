#pragma once
// Tells when the X server's screen layout changed (a mode set, an output switched on or off, a monitor
// plugged in): a connection and a thread of its own wait for RandR's notify events, so the reaction does
// not wait for the next poll. The callback runs on that thread; it should only post work elsewhere.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

class RandrChangeWatch {
 public:
  // nullptr, with the reason in `error`, without a server or without RandR.
  static std::unique_ptr<RandrChangeWatch> open(const std::string& display, std::function<void()> onChange,
                                                std::string* error);
  // Wakes the thread and waits for it.
  ~RandrChangeWatch();
  RandrChangeWatch(const RandrChangeWatch&) = delete;
  RandrChangeWatch& operator=(const RandrChangeWatch&) = delete;

 private:
  RandrChangeWatch(std::unique_ptr<XcbConnection> connection, uint8_t firstEvent, int wakeRead, int wakeWrite,
                   std::function<void()> onChange);
  void run();

  std::unique_ptr<XcbConnection> connection_;
  uint8_t firstEvent_;
  int wakeRead_;
  int wakeWrite_;
  std::function<void()> onChange_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tavlo
