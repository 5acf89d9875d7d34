// The main loop and the end of the program: the quit in order, as far as it goes without the window
// system when that is gone, then the parts, a staged update and standard output.
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "host/app/host_program_steps.hpp"
#include "host/app/ui/tray_runtime.hpp"
#include "host/app/ui/window_system_loss_hook.hpp"
#include "host/app/update_wiring.hpp"
#include "host/controller/host_controller.hpp"
#include "host/controller/session_watchers.hpp"
#include "host/desktop/virtual_display_controller.hpp"
#include "host/reachability/reachability_runtime.hpp"
#include "hostcore/session/session_threads.hpp"
#include "platform/runtime/system_log.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {
namespace {

// How long the end of the program waits for each worker that may be stuck in a command.
constexpr std::chrono::seconds workerExitLimit{2};
// How long the end of the program waits for the physical displays to come back (four passes of 350 ms,
// and a re-disable that may be in progress before them).
constexpr std::chrono::seconds displayRestoreAtExitLimit{3};

// A worker stuck past its limit is left behind, never destroyed (that would wait for it): the process
// ends around it. It is kept in a list that is never destroyed either, where the leak checker of a
// sanitizer build still finds it.
void leaveBehind(const std::shared_ptr<SerialExecutor>& worker) {
  static std::mutex mutex;
  static auto* left = new std::vector<std::shared_ptr<SerialExecutor>>();
  std::lock_guard lock(mutex);
  left->push_back(worker);
}

// Polls rather than joins: session threads are detached and may hold the last reference to a session.
bool waitForSessionThreads(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (vela::liveSessionThreads() > 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

void drainRouterMappingQueues() {
  sharedNatPmpQueue()->drainWithin(workerExitLimit);
  sharedUpnpQueue()->drainWithin(workerExitLimit);
}

int HostProgram::runMainLoop() {
  if (!tray_) return main_.run();
  // Qt ends the process itself (exit(1)) when its X server goes away: the hook runs the same quit as
  // SIGTERM from there, as far as it goes without the window system, and ends with a status of its own.
  ui::WindowSystemLossHook windowSystemLoss([this] {
    controller_->applicationWillTerminate();
    endInOrder();
    updates_->finishAtExit();
    standardOutput_->flush(std::chrono::seconds(1));
    std::_Exit(HostExitCode::windowSystemGone);
  });
  int code = tray_->run();
  if (!main_.quitStatus()) {
    // The loop ended on its own (the session manager ended the session): the same quit as Quit.
    controller_->applicationWillTerminate();
    code = HostExitCode::windowSystemGone;
  }
  return code;
}

void HostProgram::endInOrder() {
  // Every quit handed the physical displays' restore to the display worker: they are back before the
  // process ends, unless the X server does not answer within the limit.
  if (displayWorker_ && !displayWorker_->drainWithin(displayRestoreAtExitLimit)) {
    controller_->log("⚠️ koniec: ekrany fizyczne nie wróciły w 3 s — serwer X nie odpowiada, pomijam ich "
                     "przywrócenie (następny start je przywróci)");
    leaveBehind(displayWorker_);
  } else if (displayWorker_ && xServerStalled()) {
    controller_->log("⚠️ koniec: serwer X nie odpowiada — ekrany fizyczne nie wróciły, przywróci je następny start");
  }
  // From here no systemctl runs, and the ones running are ended: nothing at exit waits on the user manager.
  commandStop_->stop();
  // Session loops post to `main`, which ends with this function: close the sessions, refuse further
  // jobs, and let their detached threads finish before anything they reach goes away.
  controller_->closeSessionsForExit();
  main_.close();
  if (!waitForSessionThreads(std::chrono::seconds(5))) {
    controller_->log("⚠️ koniec: wątki sesji działają jeszcze 5 s po jej zamknięciu — nie czekam dłużej");
  }
  // A second or waiting instance never started it.
  if (deviceInstallation_.joinable()) {
    if (deviceInstallationDone_.wait_for(workerExitLimit) == std::future_status::ready) {
      deviceInstallation_.join();
    } else {
      SystemLog::write("tavlo-host: the virtual devices' installation did not end in time; leaving it behind");
      deviceInstallation_.detach();
    }
  }
  // Its jobs reach the settings and the scheduler; whatever it is still asked later is dropped.
  if (autostartWorker_->drainWithin(workerExitLimit)) {
    autostartWorker_->shutdown();
  } else {
    SystemLog::write("tavlo-host: the login units' worker did not end in time; leaving it behind");
    leaveBehind(autostartWorker_);
  }
  drainRouterMappingQueues();
  inputWatch_.reset();
  controller_->flushLog();
}

void HostProgram::finish() {
  // The display controller's hook and the platform's route post to this main executor: they go first.
  VirtualDisplayController::setLogSink(nullptr);
  SystemLog::route(nullptr);
  // Qt takes the tray's windows down with round trips to their X server: one that stopped answering
  // would hold the end of the program for ever, so the tray is then left to the process's end instead.
  if (tray_ && xServerStalled()) {
    controller_->log("⚠️ koniec: serwer X nie odpowiada — zostawiam ikonę w zasobniku bez sprzątania");
    controller_->flushLog();
    (void)tray_.release();
  }
  tray_.reset();
  controller_.reset();
  // A staged update is installed now, with no client left, and the new build started when wanted.
  updates_->finishAtExit();
  // What a reader still takes within a second; a pipe nobody reads keeps the rest.
  standardOutput_->flush(std::chrono::seconds(1));
}

}  // namespace tavlo
