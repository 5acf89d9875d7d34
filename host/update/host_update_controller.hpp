#pragma once
// Keeps the host up to date without cutting a running stream: the engine checks and downloads in the
// background, and the installation waits until no client session exists and the host has been quiet
// for 30 s (unless the user asked). Reports a one-line status for the settings window, writes its log
// lines, and watches the install folder for another build put in place while the host runs.
// Everything runs on the main executor; delayed steps go through the scheduler and back to main,
// holding the controller weakly; the question to the user manager is asked off the main executor and
// its answer comes back to it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/update/update_engine.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/scheduler.hpp"

namespace tavlo {

struct HostUpdateControllerDeps {
  std::function<bool()> canInstallNow;  // true when no client session exists
  std::function<void(const std::string&)> log;
  Scheduler* scheduler = nullptr;
  std::function<void(std::function<void()>)> postToMain;
  JsonStore* settings = nullptr;
  std::string launchedBuild = "0";
  std::string launchedVersion = "?";
  // The folder this program runs from: an install recorded for another folder is another program's news.
  std::string installFolder;
  std::string feedUrl;  // empty: updating is off
  std::function<std::shared_ptr<UpdateEngine>()> makeEngine;
  // Asks whether this process is the keep-running login unit's own: systemd then starts the host again
  // after it ends (the new build, or this one again when the install failed). The answer may come later,
  // on the main executor. Empty: it is not.
  std::function<void(std::function<void(bool keepRunning)> answer)> askKeepRunningJob;
  // Ends the process normally (a staged update is installed on the way out).
  std::function<void()> terminate;
  // The build of the program in the install folder now; none when it cannot be read.
  std::function<std::optional<std::string>()> diskBuild;
  // The wall-clock time now as people read it ("14:05"), for the status after a check; empty: none shown.
  std::function<std::string()> clockText;
};

// Whether the updater runs, and why not when it does not: the settings window says which holds and
// offers "Check Now" only while it runs.
enum class UpdaterState { notStarted, offNoFeed, offNoSigningKey, offNotReleaseFolder, offFailed, running };

class HostUpdateController : public std::enable_shared_from_this<HostUpdateController> {
 public:
  static constexpr uint64_t quietPeriodUs = 30'000'000;  // no session for this long before installing
  static constexpr uint64_t retryAfterUs = quietPeriodUs + 1'000'000;  // just past the quiet period
  static constexpr uint64_t firstCheckAfterUs = 5'000'000;
  static constexpr uint64_t busyRetryUs = 3'000'000;
  static constexpr int busyAttempts = 20;  // 20 × 3 s: the engine is busy for more than a minute
  static constexpr uint64_t freshnessPeriodUs = 60'000'000;
  static constexpr uint64_t installDelayUs = 1'000'000;

  // Written by earlier builds when an update was handed over (not when it was installed); only cleared now.
  static constexpr const char* installedPendingKey = "tl.updateInstalledPending";
  // What the installer switched in as the program ended: the build, the build it replaced and the
  // folder. Only the program that was installed reports it, once; a program of another folder leaves
  // it for that one.
  static constexpr const char* installedBuildKey = "tl.updateInstalledBuild";
  static constexpr const char* installedFromBuildKey = "tl.updateInstalledFromBuild";
  static constexpr const char* installedFolderKey = "tl.updateInstalledFolder";
  static constexpr const char* lastRunBuildKey = "tl.lastRunBuild";
  // Why the last install failed and which build it was; written by the installer as the program ends,
  // shown by the next start, cleared once another build runs.
  static constexpr const char* installFailureKey = "tl.updateInstallFailure";
  static constexpr const char* failedBuildKey = "tl.updateFailedBuild";

  static std::shared_ptr<HostUpdateController> create(HostUpdateControllerDeps deps);
  ~HostUpdateController();
  HostUpdateController(const HostUpdateController&) = delete;
  HostUpdateController& operator=(const HostUpdateController&) = delete;

  void start();
  // A check on demand, or the immediate installation of a waiting update.
  void checkNow();
  // Notes the end of a client session.
  void sessionEnded();

  const std::string& status() const { return status_; }
  void setOnStatus(std::function<void(const std::string&)> onStatus) { onStatus_ = std::move(onStatus); }
  bool hasUpdater() const { return updater_ != nullptr; }
  UpdaterState state() const { return state_; }
  bool installWaiting() const { return static_cast<bool>(pendingInstall_); }

 private:
  explicit HostUpdateController(HostUpdateControllerDeps deps);

  void reportInstalledUpdateIfAny();
  void startFreshnessGuard();
  void freshnessTick();
  void freshnessAnswer(const std::string& onDisk, bool keepRunning);
  // Asks askKeepRunningJob and hands the answer to `then` while this controller lives.
  void askKeepRunning(std::function<void(HostUpdateController&, bool keepRunning)> then);
  void install(std::function<void()> action, bool keepRunning);
  void requestCheck(const std::string& reason, bool manual, int attempt);
  void deferOrInstall(std::function<void()> action);
  void installIfIdle(bool force);
  void describeFailure(const UpdateFailure& failure);
  void setStatus(std::string text);
  std::string upToDateStatus() const;
  // `result` with the time of the check that gave it, when the clock is known.
  std::string checkResult(const std::string& result) const;
  void turnOff(UpdaterState state, const std::string& status, const std::string& line);
  // Runs `job` on the main executor `delayUs` from now, while this controller lives.
  void later(uint64_t delayUs, std::function<void(HostUpdateController&)> job);

  HostUpdateControllerDeps deps_;
  std::string status_;
  std::function<void(const std::string&)> onStatus_;
  std::shared_ptr<UpdateEngine> updater_;
  UpdaterState state_ = UpdaterState::notStarted;
  std::function<void()> pendingInstall_;
  bool userRequested_ = false;
  std::optional<std::string> installFailure_;  // the last install's failure, while this build still runs
  std::optional<std::string> failedBuild_;
  std::string foundBuild_;  // the build the engine last found
  std::optional<Scheduler::JobId> freshnessTimer_;
  bool freshnessAsking_ = false;  // the freshness watch's question is with the user manager
  // The build on disk that the "staying" line was written for: said once, not at every firing.
  std::optional<std::string> stayReportedFor_;
  uint64_t lastSessionEndedAtUs_;
};

}  // namespace tavlo
