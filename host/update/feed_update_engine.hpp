#pragma once
// The update engine of this host: a signed feed over HTTPS. A check reads the feed; a newer build's
// archive is downloaded (no larger than announced and than a fixed limit), its Ed25519 signature
// checked against the key built into the host, read whole as a safe archive, and only then unpacked
// into the staging folder. The install action asks the program to quit; the program installs the
// staged files on its way out and starts the new build.
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host/update/update_engine.hpp"
#include "host/update/update_installer.hpp"
#include "platform/crypto/ed25519.hpp"
#include "platform/runtime/scheduler.hpp"

namespace tavlo {

struct FeedUpdateEngineConfig {
  static constexpr size_t defaultMaxArchiveBytes = 128u << 20;
  static constexpr uint64_t checkPeriodUs = 24ull * 3600 * 1'000'000;

  std::string feedUrl;
  std::filesystem::path installDir;
  std::string launchedBuild;
  std::optional<crypto::Ed25519PublicKey> publicKey;  // none: this build cannot verify updates
  size_t maxArchiveBytes = defaultMaxArchiveBytes;
  long timeoutSeconds = 600;
  Scheduler* scheduler = nullptr;  // the daily check
  std::function<void(std::function<void()>)> postToMain;
  std::function<void(const std::string&)> log;
  // Quits the program so that the staged update is installed on the way out and the new build starts.
  std::function<void()> quitForInstall;
  // Told what this engine staged (none: an earlier staging was given up), on the worker thread: the
  // program installs only that as it ends.
  std::function<void(const std::optional<StagedUpdate>&)> staged;
};

class FeedUpdateEngine final : public UpdateEngine, public std::enable_shared_from_this<FeedUpdateEngine> {
 public:
  static constexpr uint64_t quitDelayUs = 500'000;

  explicit FeedUpdateEngine(FeedUpdateEngineConfig config);
  ~FeedUpdateEngine() override;

  std::optional<UpdateStartRefusal> start(UpdateEngineEvents events) override;
  bool sessionInProgress() const override { return busy_.load(); }
  void checkInBackground() override;
  // What this engine staged and has not given up.
  std::optional<StagedUpdate> staged() const;

 private:
  // One check, on the worker thread; reports through `report`.
  void runCheck();
  void report(std::function<void(const UpdateEngineEvents&)> event);
  void reportFailure(int code, std::string description);
  void reportReady();
  void setStaged(std::optional<StagedUpdate> staged);

  FeedUpdateEngineConfig config_;
  UpdateEngineEvents events_;  // set once by start, read on main
  std::atomic<bool> busy_{false};
  std::atomic<bool> ending_{false};  // set by the destructor: a transfer in progress stops
  std::optional<Scheduler::JobId> dailyCheck_;
  mutable std::mutex mutex_;  // the fields below
  std::thread worker_;
  std::optional<StagedUpdate> staged_;  // the verified release waiting in its staging folder
};

}  // namespace tavlo
