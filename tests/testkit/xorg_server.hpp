#pragma once
// A private Xorg server with the dummy video driver, for the tests that need a real window system
// (virtual displays through RandR, capture through MIT-SHM, input through XTEST); or a private Xvfb. The server picks a
// free display number itself (-displayfd), runs with a configuration of its own in a temporary
// folder, and is stopped when the object goes. A server that cannot start is a test failure: the
// caller asserts on start() and prints failureText(), which carries the server's log.
#include <string>
#include <sys/types.h>

#include "tests/testkit/temp_dir.hpp"

namespace tavlo::testkit {

class XorgServer {
 public:
  // The dummy Xorg, or Xvfb: an X server whose only output is its screen, with none free for a
  // virtual display (as Xwayland and desktops on modesetting or vendor drivers).
  enum class Kind { dummyXorg, xvfb };
  explicit XorgServer(Kind kind = Kind::dummyXorg) : kind_(kind) {}
  ~XorgServer() { stop(); }
  XorgServer(const XorgServer&) = delete;
  XorgServer& operator=(const XorgServer&) = delete;

  // Starts the server and waits (up to 20 s) until it accepts connections.
  bool start();
  void stop();

  bool running() const { return pid_ > 0; }
  // The server's process, for a test that stops it answering (SIGSTOP) and lets it go on (SIGCONT).
  pid_t pid() const { return pid_; }
  // ":N", valid after a successful start.
  const std::string& display() const { return display_; }
  // Why start() failed, with the server's own output and log.
  std::string failureText() const;

 private:
  Kind kind_;
  TempDir dir_;
  pid_t pid_ = -1;
  std::string display_;
  std::string failure_;
};

}  // namespace tavlo::testkit
