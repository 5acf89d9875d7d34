#pragma once
// A private audio and video server stack for one test: a session D-Bus, PipeWire, WirePlumber (which
// links producers to consumers) and PipeWire's PulseAudio server, all with their runtime, state and
// configuration in a fresh 0700 directory. Several stacks run side by side. A stack that cannot start
// is a test failure: the caller asserts on start() and prints failureText(), which carries the logs.
//
// Programs the test starts against the stack take environment(); clients inside the test process
// connect with pulseServer() (libpulse) or pipewireRemote() (PipeWire).
#include <filesystem>
#include <string>
#include <vector>

#include "tests/testkit/child_process.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo::testkit {

class PipeWireStack {
 public:
  PipeWireStack() = default;
  ~PipeWireStack() { stop(); }
  PipeWireStack(const PipeWireStack&) = delete;
  PipeWireStack& operator=(const PipeWireStack&) = delete;

  // Starts the four servers and waits (up to 20 s) until PipeWire answers, WirePlumber's "default"
  // metadata exists, the pulse server answers and names a default sink.
  bool start();
  // Stops the servers in reverse order and waits for each.
  void stop();

  // The whole environment for a program run against this stack.
  std::vector<std::string> environment() const;
  // libpulse's server string ("unix:D/pulse/native") and PipeWire's remote (the socket's path).
  std::string pulseServer() const;
  std::string pipewireRemote() const;
  // The private directory: tests put their own files and logs here.
  const std::filesystem::path& directory() const { return dir_.path(); }

  // Runs a tool (pactl, pw-cli, ...) against the stack to its end.
  ToolResult run(const std::vector<std::string>& argv) const { return runTool(argv, environment()); }

  // Why start() failed, followed by logs(); logs() alone helps explain a later failure.
  std::string failureText() const { return failure_ + "\n" + logs(); }
  std::string logs() const;

 private:
  bool waitReady(std::string& missing);

  TempDir dir_;
  ChildProcess dbus_, pipewire_, wireplumber_, pulse_;
  bool started_ = false;
  std::string failure_;
};

}  // namespace tavlo::testkit
