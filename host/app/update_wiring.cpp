#include "host/app/update_wiring.hpp"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <vector>

#include "host/controller/autostart_unit.hpp"
#include "host/controller/service_process.hpp"
#include "host/update/exit_install.hpp"
#include "host/update/feed_update_engine.hpp"
#include "host/update/host_update_controller.hpp"
#include "host/update/update_download.hpp"
#include "host/update/update_installer.hpp"
#include "platform/runtime/base64.hpp"
#include "platform/runtime/system_log.hpp"

#ifndef TAVLO_UPDATE_FEED_URL
#define TAVLO_UPDATE_FEED_URL ""
#endif
#ifndef TAVLO_UPDATE_PUBLIC_KEY
#define TAVLO_UPDATE_PUBLIC_KEY ""
#endif

namespace tavlo {
namespace fs = std::filesystem;

namespace {

constexpr const char* feedUrlKey = "tl.updateFeedURL";

std::optional<crypto::Ed25519PublicKey> builtInKey() {
  auto bytes = base64Decode(TAVLO_UPDATE_PUBLIC_KEY);
  if (!bytes || bytes->size() != 32) return std::nullopt;
  crypto::Ed25519PublicKey key;
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

// This process's own arguments, for starting the new build the same way.
std::vector<std::string> ownArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> args;
  std::string arg;
  while (std::getline(in, arg, '\0')) args.push_back(arg);
  return args;
}

}  // namespace

UpdateWiring::UpdateWiring(HostControllerSeams& seams, MainExecutor& main, Scheduler& scheduler, JsonStore& settings,
                           std::shared_ptr<SerialExecutor> unitQuestions, std::string version, std::string build,
                           std::function<void()> quit)
    : main_(main),
      scheduler_(scheduler),
      settings_(settings),
      unitQuestions_(std::move(unitQuestions)),
      version_(std::move(version)),
      build_(std::move(build)),
      quit_(std::move(quit)),
      feedUrl_(settings.getString(feedUrlKey).value_or(TAVLO_UPDATE_FEED_URL)),
      restartedBySystemd_(runsAsMainProcessOf(autostartUnitName(AutostartUnitKind::keepRunning))) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    installDir_ = self.parent_path();
    programName_ = self.filename();
  }
  seams.startUpdates = [this](LogSink log, HostControllerSeams::UpdateHooks hooks) {
    start(std::move(log), std::move(hooks));
  };
  seams.updatesSessionEnded = [this] {
    if (controller_) controller_->sessionEnded();
  };
}

UpdateWiring::~UpdateWiring() = default;

void UpdateWiring::start(LogSink log, HostControllerSeams::UpdateHooks hooks) {
  // Timer jobs may fire while the program winds down: they reach only the main executor, which outlives
  // this object and drops jobs once closed.
  auto post = [main = &main_](std::function<void()> job) { main->post(std::move(job)); };
  HostUpdateControllerDeps deps;
  deps.canInstallNow = hooks.noSession;
  deps.log = log;
  deps.scheduler = &scheduler_;
  deps.postToMain = post;
  deps.settings = &settings_;
  deps.launchedBuild = build_;
  deps.launchedVersion = version_;
  deps.installFolder = installDir_.string();
  deps.feedUrl = feedUrl_;
  deps.makeEngine = [this, post, log]() -> std::shared_ptr<UpdateEngine> {
    FeedUpdateEngineConfig config;
    config.feedUrl = feedUrl_;
    config.installDir = installDir_;
    config.launchedBuild = build_;
    config.publicKey = builtInKey();
    config.scheduler = &scheduler_;
    config.postToMain = post;
    config.log = log;
    config.staged = [this](const std::optional<StagedUpdate>& staged) {
      std::lock_guard lock(stagedMutex_);
      staged_ = staged;
    };
    config.quitForInstall = [this] {
      relaunchWanted_ = true;
      quit_();
    };
    return std::make_shared<FeedUpdateEngine>(std::move(config));
  };
  // Whether this process is the keep-running unit's own is known from its start: no question to ask.
  deps.askKeepRunningJob = [restarted = restartedBySystemd_](std::function<void(bool)> answer) { answer(restarted); };
  deps.terminate = quit_;
  deps.diskBuild = [dir = installDir_] { return readUpdateBuild(dir); };
  deps.clockText = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[16] = "";
    if (localtime_r(&now, &local)) std::strftime(text, sizeof text, "%H:%M", &local);
    return std::string(text);
  };
  controller_ = HostUpdateController::create(std::move(deps));
  controller_->setOnStatus(hooks.publishStatus);
  controller_->start();
}

std::function<void()> UpdateWiring::checkNow() {
  return [this] {
    if (controller_) controller_->checkNow();
  };
}

std::function<bool()> UpdateWiring::running() {
  return [this] { return controller_ && controller_->hasUpdater(); };
}

std::string UpdateWiring::feedHost() const { return updateUrlHost(feedUrl_); }

void UpdateWiring::finishAtExit() {
  // Only the instance that ran the updater installs: a waiting or second instance leaves the running
  // one's staged update to it.
  if (!controller_) return;
  controller_.reset();  // the engine's worker ends before the staged files are touched
  std::optional<StagedUpdate> staged;
  {
    std::lock_guard lock(stagedMutex_);
    staged = std::move(staged_);
  }
  if (installStagedUpdateOnExit(staged, installDir_, build_, settings_) == ExitInstall::nothingStaged) return;
  // Started again by systemd, or here: the new build, or the old one after a failed install.
  if (!relaunchWanted_ || restartedBySystemd_) return;
  std::vector<std::string> args = ownArguments();
  if (args.empty() || programName_.empty()) return;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // /proc/self/exe names the old release's file: the program is under the same name in the folder.
  const fs::path program = installDir_ / programName_;
  ::execv(program.c_str(), argv.data());
  SystemLog::write("tavlo-host: cannot start the host again " + program.string());
}

}  // namespace tavlo
