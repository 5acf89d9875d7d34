#pragma once
// The program's updater: the update controller over the signed-feed engine, plugged into the host
// controller's start-up, the settings window's "Check Now", and the program's end, where a staged
// update is installed and the new build started (by the keep-running login unit when it is on, else by
// executing it in place of this process).
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "host/controller/host_controller_seams.hpp"
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

  // The settings window's "Check Now"; empty when updating is off.
  std::function<void()> checkNow();
  std::string feedHost() const;

  // After the main loop ended: installs a staged update, then starts the new build when an update
  // asked for it and no keep-running unit will. Returns only when it did not execute a new build.
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
  bool relaunchWanted_ = false;
  std::shared_ptr<HostUpdateController> controller_;
};

}  // namespace tavlo
