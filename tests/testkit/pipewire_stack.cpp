#include "tests/testkit/pipewire_stack.hpp"

#include <sys/stat.h>

#include <chrono>
#include <thread>

namespace tavlo::testkit {
namespace {

// How long the stack may take to come up; it needs well under a second on an idle machine.
constexpr auto kStartTimeout = std::chrono::seconds(20);

}  // namespace

std::vector<std::string> PipeWireStack::environment() const {
  const std::string d = dir_.path().string();
  return environmentWith({"XDG_RUNTIME_DIR=" + d, "XDG_STATE_HOME=" + d + "/state", "XDG_CONFIG_HOME=" + d + "/config",
                          "DBUS_SESSION_BUS_ADDRESS=unix:path=" + d + "/bus", "GST_REGISTRY=" + d + "/gst-registry.bin"},
                         {"PULSE_SERVER", "PIPEWIRE_REMOTE"});
}

std::string PipeWireStack::pulseServer() const { return "unix:" + (dir_.path() / "pulse/native").string(); }
std::string PipeWireStack::pipewireRemote() const { return (dir_.path() / "pipewire-0").string(); }

bool PipeWireStack::start() {
  if (started_) return true;
  ::chmod(dir_.path().c_str(), 0700);
  std::filesystem::create_directories(dir_.path() / "state");
  std::filesystem::create_directories(dir_.path() / "config");
  const auto env = environment();
  const std::string d = dir_.path().string();
  started_ = true;
  if (!dbus_.start({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + d + "/bus", "--print-address=1"},
                   env, dir_ / "dbus.log")) {
    failure_ = "dbus-daemon did not start";
    stop();
    return false;
  }
  // WirePlumber needs the bus: wait for its socket.
  for (int i = 0; i < 200 && !std::filesystem::exists(dir_ / "bus"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // WirePlumber and the pulse server give up when PipeWire does not answer yet: wait for it first.
  bool pipewireUp = pipewire_.start({"pipewire"}, env, dir_ / "pipewire.log");
  for (int i = 0; pipewireUp && i < 400 && run({"pw-cli", "info", "0"}).exitCode != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!pipewireUp || !wireplumber_.start({"wireplumber"}, env, dir_ / "wireplumber.log") ||
      !pulse_.start({"pipewire-pulse"}, env, dir_ / "pipewire-pulse.log")) {
    failure_ = "a server of the stack could not be started";
    stop();
    return false;
  }
  std::string missing;
  if (!waitReady(missing)) {
    failure_ = "the PipeWire stack did not become ready: " + missing;
    stop();
    return false;
  }
  return true;
}

bool PipeWireStack::waitReady(std::string& missing) {
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    for (auto* server : {&dbus_, &pipewire_, &wireplumber_, &pulse_}) {
      if (!server->running()) {
        missing = server->logPath().filename().string() + " exited";
        return false;
      }
    }
    if (run({"pw-cli", "info", "0"}).exitCode != 0) {
      missing = "pw-cli info 0";
    } else if (run({"pw-metadata", "-n", "default"}).output.find("Found \"default\" metadata") == std::string::npos) {
      missing = "WirePlumber's default metadata";
    } else if (run({"pactl", "info"}).exitCode != 0) {
      missing = "pactl info";
    } else if (auto sink = run({"pactl", "get-default-sink"}); sink.exitCode != 0 || sink.output.empty() ||
                                                                 sink.output.starts_with("@DEFAULT_SINK@")) {
      // The pulse server answers before WirePlumber has made its null sink the default one.
      missing = "a default sink";
    } else {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void PipeWireStack::stop() {
  if (!started_) return;
  pulse_.stop();
  wireplumber_.stop();
  pipewire_.stop();
  dbus_.stop();
  started_ = false;
}

std::string PipeWireStack::logs() const {
  std::string text;
  for (const char* name : {"dbus.log", "pipewire.log", "wireplumber.log", "pipewire-pulse.log"}) {
    text += std::string("--- ") + name + " ---\n" + readTextFile(dir_ / name) + "\n";
  }
  return text;
}

}  // namespace tavlo::testkit
