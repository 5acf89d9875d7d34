#include "tests/testkit/headless_mutter.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace tavlo::testkit {
namespace {

// How long mutter may take to answer; it needs 0.1–0.3 s on an idle machine.
constexpr auto kStartTimeout = std::chrono::seconds(20);

}  // namespace

std::vector<std::string> HeadlessMutter::environment() const {
  auto env = stack_.environment();
  std::vector<std::string> result;
  for (auto& entry : env) {
    if (!entry.starts_with("WAYLAND_DISPLAY=") && !entry.starts_with("DISPLAY=") &&
        !entry.starts_with("XDG_SESSION_TYPE=")) {
      result.push_back(std::move(entry));
    }
  }
  result.push_back("WAYLAND_DISPLAY=" + wayland_);
  result.push_back("XDG_SESSION_TYPE=wayland");
  return result;
}

std::string HeadlessMutter::busAddress() const { return "unix:path=" + (stack_.directory() / "bus").string(); }

bool HeadlessMutter::start(std::optional<MonitorSize> physicalMonitor) {
  if (started_) return true;
  started_ = true;
  if (!stack_.start()) {
    failure_ = "the PipeWire stack did not start";
    return false;
  }
  wayland_ = "tavlo-wayland-" + std::to_string(::getpid());
  std::vector<std::string> argv = {"mutter", "--headless", "--wayland", "--no-x11", "--wayland-display=" + wayland_};
  if (physicalMonitor) {
    argv.push_back("--virtual-monitor");
    argv.push_back(std::to_string(physicalMonitor->width) + "x" + std::to_string(physicalMonitor->height));
  }
  if (!mutter_.start(argv, environment(), stack_.directory() / "mutter.log")) {
    failure_ = "mutter could not be started";
    stop();
    return false;
  }
  std::string missing;
  if (!waitReady(missing)) {
    failure_ = "mutter did not become ready: " + missing;
    stop();
    return false;
  }
  return true;
}

bool HeadlessMutter::waitReady(std::string& missing) {
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!mutter_.running()) {
      missing = "mutter exited";
      return false;
    }
    const auto answer = run({"dbus-send", "--session", "--print-reply", "--dest=org.gnome.Mutter.ScreenCast",
                             "/org/gnome/Mutter/ScreenCast", "org.freedesktop.DBus.Properties.Get",
                             "string:org.gnome.Mutter.ScreenCast", "string:Version"});
    if (answer.exitCode == 0) return true;
    missing = "org.gnome.Mutter.ScreenCast does not answer: " + answer.output;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool HeadlessMutter::startClient(ChildProcess& client, const std::vector<std::string>& argv,
                                 const std::string& logName) const {
  return client.start(argv, environment(), stack_.directory() / logName);
}

void HeadlessMutter::applyToThisProcess() {
  for (const auto& entry : environment()) {
    const auto equals = entry.find('=');
    const std::string name = entry.substr(0, equals);
    if (name != "DBUS_SESSION_BUS_ADDRESS" && name != "XDG_RUNTIME_DIR" && name != "WAYLAND_DISPLAY" &&
        name != "PIPEWIRE_REMOTE") {
      continue;
    }
    const char* old = std::getenv(name.c_str());
    savedEnvironment_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    ::setenv(name.c_str(), entry.substr(equals + 1).c_str(), 1);
  }
  const char* remote = std::getenv("PIPEWIRE_REMOTE");
  savedEnvironment_.emplace_back("PIPEWIRE_REMOTE", remote ? std::optional<std::string>(remote) : std::nullopt);
  ::unsetenv("PIPEWIRE_REMOTE");
}

void HeadlessMutter::restoreThisProcess() {
  for (auto it = savedEnvironment_.rbegin(); it != savedEnvironment_.rend(); ++it) {
    if (it->second) {
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      ::unsetenv(it->first.c_str());
    }
  }
  savedEnvironment_.clear();
}

void HeadlessMutter::stop() {
  if (!started_) return;
  mutter_.stop();
  stack_.stop();
  restoreThisProcess();
  started_ = false;
}

std::string HeadlessMutter::logs() const {
  return stack_.logs() + "--- mutter.log ---\n" + readTextFile(stack_.directory() / "mutter.log") + "\n";
}

}  // namespace tavlo::testkit
