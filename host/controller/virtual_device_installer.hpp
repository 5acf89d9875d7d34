#pragma once
// Makes the virtual devices available at every launch: the camera daemon (tavlo-camd, "Tavlo Camera")
// and the microphone daemon (tavlo-micd, "Tavlo Mic") run as systemd user services that the host writes
// and enables. A unit is left alone when it is the one this host would write (same version, same
// executable) and is enabled and active; otherwise it is (re)written, the manager reloaded, the unit
// enabled and (re)started. Success is reported only once the manager says the unit is enabled and
// active. Every command is an argument vector; nothing passes through a shell.
//
// ensureVirtualDevices() blocks on the service manager: the host runs it off its main thread.
#include <chrono>
#include <filesystem>
#include <functional>
#include <vector>
#include <string>

#include "host/controller/daemon_unit.hpp"
#include "platform/runtime/command_runner.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class VirtualDeviceInstaller {
 public:
  struct Config {
    std::filesystem::path unitDirectory;    // where user units live (defaultUnitDirectory())
    std::filesystem::path daemonDirectory;  // holds tavlo-camd and tavlo-micd
    std::string version;                    // the host's version and build, e.g. "0.1/1"
    // How long a (re)started daemon must stay up, without a restart by the manager, before it counts as
    // ready: one that dies at once reads "active" for a moment after the restart.
    std::chrono::milliseconds settleTime{3000};
    std::function<void(std::chrono::milliseconds)> sleep{};  // std::this_thread::sleep_for when empty
    bool useBuiltDaemons = true;  // fall back to the daemons this build made (see locateDaemon)
  };
  struct Outcome {
    bool microphoneReady = false;
    bool cameraReady = false;
  };

  // $XDG_CONFIG_HOME/systemd/user, else ~/.config/systemd/user.
  static std::filesystem::path defaultUnitDirectory();
  // The directory of the running executable (the daemons are installed beside the host).
  static std::filesystem::path executableDirectory();
  // The daemon `name` in `directory` when it is there; otherwise the one this build made (a host run
  // from its build tree has none beside it); otherwise the path in `directory`, which then fails the
  // check for an executable.
  static std::filesystem::path locateDaemon(const std::filesystem::path& directory, const std::string& name,
                                            bool useBuiltDaemons = true);

  // `log` is the controller's log; `systemLog` takes the lines that go to the system log only.
  VirtualDeviceInstaller(Config config, CommandRunner& runner, LogSink log, LogSink systemLog = SystemLog::sink());

  Outcome ensureVirtualDevices();

  DaemonUnit microphoneUnit() const;
  DaemonUnit cameraUnit() const;

 private:
  enum class State { current, installed, failed };
  struct Attempt {
    State state = State::failed;
    std::string failure;
  };
  // Brings one unit up to date; `installing` runs before any change is made.
  Attempt ensureUnit(const DaemonUnit& unit, const std::function<void()>& installing);
  // After a (re)start: still active after the settle time, and never restarted by the manager.
  bool stayedUp(const std::string& unitName, std::string& failure);
  bool systemctl(const std::vector<std::string>& arguments, std::string& failure, const char* expectOutput = nullptr);

  Config config_;
  CommandRunner& runner_;
  LogSink log_;
  LogSink systemLog_;
};

}  // namespace tavlo
