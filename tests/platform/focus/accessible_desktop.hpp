#pragma once
// A desktop that AT-SPI can see, for the tests of the AT-SPI focus source: a private dummy Xorg, a
// private D-Bus session bus (which starts the accessibility bus and its registry on demand) and a GTK
// window (focus_test_window.py) driven one command line at a time. Everything lives in a temporary
// folder that this process's environment points at (DISPLAY, the session bus address, runtime and home
// folders), and is stopped when the object goes, including what the session bus started. A start that
// fails returns false; failureText() then holds the servers' logs.
#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo::testkit {

class AccessibleDesktop {
 public:
  AccessibleDesktop() = default;
  ~AccessibleDesktop();
  AccessibleDesktop(const AccessibleDesktop&) = delete;
  AccessibleDesktop& operator=(const AccessibleDesktop&) = delete;

  // Starts Xorg and points the environment at it and at the session bus startSessionBus() will run,
  // which does not exist yet. Call before anything reads the environment on another thread.
  bool startX();
  bool startSessionBus();
  // Opens the window and waits until it says it is ready.
  bool openWindow();
  // Sends one command to the window and returns its answer line; empty when none came in time.
  std::string command(const std::string& line);
  void closeWindow();

  const std::string& display() const { return xorg_.display(); }
  std::string failureText() const;

 private:
  std::string readLine(int fd, int timeoutMs);
  void stopSessionBus();

  XorgServer xorg_;
  TempDir dir_;
  pid_t bus_ = -1;
  pid_t window_ = -1;
  int windowIn_ = -1;
  int windowOut_ = -1;
  std::string pending_;  // what the window wrote past the last line read
  std::string failure_;
};

}  // namespace tavlo::testkit
