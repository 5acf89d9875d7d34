#pragma once
// A private GNOME compositor for one test: the PipeWire stack (its session bus, PipeWire, WirePlumber)
// and a headless mutter on it, Wayland only, in the stack's 0700 runtime folder. Ready when mutter's
// ScreenCast interface answers on the bus. A compositor that cannot start is a test failure: the caller
// asserts on start() and prints failureText(), which carries every log.
//
// Programs the test starts against it take environment() (the bus, the runtime folder and the Wayland
// display); code inside the test process reaches the bus through applyToThisProcess().
#include <optional>
#include <string>
#include <vector>

#include "tests/testkit/child_process.hpp"
#include "tests/testkit/pipewire_stack.hpp"

namespace tavlo::testkit {

struct MonitorSize {
  int width = 0;
  int height = 0;
};

class HeadlessMutter {
 public:
  HeadlessMutter() = default;
  ~HeadlessMutter() { stop(); }
  HeadlessMutter(const HeadlessMutter&) = delete;
  HeadlessMutter& operator=(const HeadlessMutter&) = delete;

  // Starts the stack and mutter, with a stand-in physical monitor of that size when given, and waits
  // (up to 20 s) until ScreenCast answers.
  bool start(std::optional<MonitorSize> physicalMonitor = std::nullopt);
  // Stops mutter, then the stack, and waits for each.
  void stop();

  std::vector<std::string> environment() const;
  // Points this process's session bus, runtime folder and Wayland display at the compositor, for the
  // libraries the test calls directly. The previous values come back at stop().
  void applyToThisProcess();
  std::string busAddress() const;
  const std::string& waylandDisplay() const { return wayland_; }
  const std::filesystem::path& directory() const { return stack_.directory(); }
  PipeWireStack& stack() { return stack_; }

  // Runs a tool (gdbus, pw-cli...) against the compositor to its end.
  ToolResult run(const std::vector<std::string>& argv) const { return runTool(argv, environment()); }
  // Starts a Wayland client (weston-simple-shm) on the compositor; its output goes to a log beside
  // the others. False when it could not be started.
  bool startClient(ChildProcess& client, const std::vector<std::string>& argv, const std::string& logName) const;

  std::string failureText() const { return failure_ + "\n" + logs(); }
  std::string logs() const;

 private:
  bool waitReady(std::string& missing);
  void restoreThisProcess();

  PipeWireStack stack_;
  ChildProcess mutter_;
  std::string wayland_;
  std::string failure_;
  bool started_ = false;
  std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
};

}  // namespace tavlo::testkit
