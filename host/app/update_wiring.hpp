#pragma once
// The program's updater: the update controller over the signed-feed engine, plugged into the host
// controller's start-up, the settings window's "Check Now", and the program's end, where a staged
// update is installed and the host started again (by systemd when this process is the keep-running login
// unit's own, else by executing the program in place of this process): the new build, or the old one
// with the failure to show when the install failed.
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/controller/host_controller_seams.hpp"
#include "host/update/update_installer.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {

class HostUpdateController;

class UpdateWiring {
 public:
  // `quit` ends the program normally (it is called on the main executor). `unitQuestions` runs the
  // systemctl questions about the login units, off the main executor.
  UpdateWiring(HostControllerSeams& seams, MainExecutor& main, Scheduler& scheduler, JsonStore& settings,
               std::shared_ptr<SerialExecutor> unitQuestions, std::string version, std::string build,
               std::function<void()> quit);
  ~UpdateWiring();
  UpdateWiring(const UpdateWiring&) = delete;
  UpdateWiring& operator=(const UpdateWiring&) = delete;

  // The settings window's "Check Now" (it does nothing while the updater does not run), and whether
  // the updater runs now.
  std::function<void()> checkNow();
  std::function<bool()> running();
  std::string feedHost() const;

  // After the main loop ended: installs a staged update when this instance ran the updater, then starts
  // the host again when an update asked for the quit and systemd will not. Returns only when it did not
  // execute the program.
  void finishAtExit();

 private:
  void start(LogSink log, HostControllerSeams::UpdateHooks hooks);

  MainExecutor& main_;
  Scheduler& scheduler_;
  JsonStore& settings_;
  std::shared_ptr<SerialExecutor> unitQuestions_;
  std::string version_;
  std::string build_;
  std::function<void()> quit_;
  std::string feedUrl_;
  std::filesystem::path installDir_;
  std::string programName_;  // this executable's file name in the install folder
  const bool restartedBySystemd_;  // this process is the keep-running unit's own
  bool relaunchWanted_ = false;
  std::shared_ptr<HostUpdateController> controller_;
  std::mutex stagedMutex_;  // staged_, written by the engine's worker
  // The release this process staged after verifying it: the only one it installs as it ends.
  std::optional<StagedUpdate> staged_;
};

}  // namespace tavlo
