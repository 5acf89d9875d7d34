#pragma once
// How long the built tavlo-host's Qt thread takes to answer, seen from outside without any feature of
// its own: Qt's xcb backend answers a _NET_WM_PING client message sent to one of its top-level windows
// from the event loop on the GUI thread, by sending it back to the root window. A thread here sends a
// ping every few milliseconds, whether or not the earlier ones were answered, and times each reply, so a
// stall of the Qt thread shows as many late replies, not as one.
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo::hosttest {

// A top-level window of the process whose WM_CLASS holds `className` and that takes _NET_WM_PING
// (Qt's windows do), searched through the whole window tree (a tray icon lives inside its tray host).
std::optional<xcb_window_t> findPingableWindow(const XcbConnection& x, const std::string& className);
// How many such windows are viewable now (a tray icon shown in its tray host is one).
size_t viewablePingableWindows(const XcbConnection& x, const std::string& className);

class QtThreadPing {
 public:
  // Starts pinging `window` on `display` every `interval`; empty (with `error`) without a connection.
  static std::unique_ptr<QtThreadPing> start(const std::string& display, xcb_window_t window,
                                             std::chrono::milliseconds interval, std::string* error);
  ~QtThreadPing();
  QtThreadPing(const QtThreadPing&) = delete;
  QtThreadPing& operator=(const QtThreadPing&) = delete;

  struct Figures {
    size_t sent = 0;
    size_t answered = 0;
    double p99Ms = 0;  // over every ping; one still unanswered counts with its age so far
    double maxMs = 0;
    std::string text() const;
  };
  // The figures since start() or the last reset().
  Figures figures();
  void reset();
  // Blocks until a ping sent from now on is answered (true) or `within` passes (false).
  bool waitForAnswer(std::chrono::milliseconds within);

 private:
  QtThreadPing(std::unique_ptr<XcbConnection> x, xcb_window_t window, std::chrono::milliseconds interval);
  void run();
  void send(uint32_t sequence);
  void receive(const xcb_generic_event_t& event, std::chrono::steady_clock::time_point at);

  std::unique_ptr<XcbConnection> x_;
  const xcb_window_t window_;
  const std::chrono::milliseconds interval_;
  xcb_atom_t protocols_ = XCB_NONE;
  xcb_atom_t ping_ = XCB_NONE;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;  // the fields below
  std::map<uint32_t, std::chrono::steady_clock::time_point> outstanding_;
  std::vector<double> latenciesMs_;
  size_t sent_ = 0;
  uint32_t lastAnswered_ = 0;
  uint32_t nextSequence_ = 1;
  std::thread thread_;
};

}  // namespace tavlo::hosttest
