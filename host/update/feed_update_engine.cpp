#include "host/update/feed_update_engine.hpp"

#include "host/update/update_archive.hpp"
#include "host/update/update_download.hpp"
#include "host/update/update_feed.hpp"
#include "host/update/update_installer.hpp"

namespace tavlo {

FeedUpdateEngine::FeedUpdateEngine(FeedUpdateEngineConfig config) : config_(std::move(config)) {}

FeedUpdateEngine::~FeedUpdateEngine() {
  if (dailyCheck_) config_.scheduler->cancel(*dailyCheck_);
  ending_.store(true);  // the program may be ending: it must not wait for a download
  std::thread worker;
  {
    std::lock_guard lock(mutex_);
    worker = std::move(worker_);
  }
  if (worker.joinable()) worker.join();
}

std::optional<std::string> FeedUpdateEngine::start(UpdateEngineEvents events) {
  if (!config_.publicKey) return "this build carries no update signing key";
  if (!isAllowedUpdateUrl(config_.feedUrl)) return "the feed address is not https://: " + config_.feedUrl;
  std::error_code ec;
  if (config_.installDir.empty() || !std::filesystem::is_directory(config_.installDir, ec)) {
    return "no install folder " + config_.installDir.string();
  }
  events_ = std::move(events);
  std::weak_ptr<FeedUpdateEngine> weak = weak_from_this();
  auto post = config_.postToMain;
  dailyCheck_ = config_.scheduler->every(FeedUpdateEngineConfig::checkPeriodUs, [weak, post] {
    post([weak] {
      if (auto self = weak.lock()) self->checkInBackground();  // it does nothing while a check runs
    });
  });
  return std::nullopt;
}

void FeedUpdateEngine::checkInBackground() {
  if (busy_.exchange(true)) return;
  std::thread previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::move(worker_);
  }
  if (previous.joinable()) previous.join();  // it has finished: busy_ was false
  std::thread worker([this] { runCheck(); });
  std::lock_guard lock(mutex_);
  worker_ = std::move(worker);
}

void FeedUpdateEngine::report(std::function<void(const UpdateEngineEvents&)> event) {
  std::weak_ptr<FeedUpdateEngine> weak = weak_from_this();
  config_.postToMain([weak, event = std::move(event)] {
    if (auto self = weak.lock()) event(self->events_);
  });
}

void FeedUpdateEngine::reportFailure(int code, std::string description) {
  report([failure = UpdateFailure{code, std::move(description)}](const UpdateEngineEvents& events) {
    if (events.failed) events.failed(failure);
  });
}

void FeedUpdateEngine::reportReady() {
  std::weak_ptr<FeedUpdateEngine> weak = weak_from_this();
  auto install = [weak] {
    auto self = weak.lock();
    if (!self) return;
    // A later staging that failed has removed this one: the program would end with nothing to install
    // and nothing to start it again.
    if (!hasStagedUpdate(updateStagingDir(self->config_.installDir))) {
      self->reportFailure(update_error::staging, "the staged update is no longer there");
      return;
    }
    self->config_.log("🔄 instalator gotowy — kończę proces (instalator podmieni paczkę)");
    auto post = self->config_.postToMain;
    self->config_.scheduler->after(quitDelayUs, [weak, post] {
      post([weak] {
        if (auto engine = weak.lock()) engine->config_.quitForInstall();
      });
    });
  };
  report([install](const UpdateEngineEvents& events) {
    if (events.readyToInstall) events.readyToInstall(install);
  });
}

void FeedUpdateEngine::runCheck() {
  struct Done {
    std::atomic<bool>& busy;
    ~Done() { busy.store(false); }
  } done{busy_};
  std::string error;
  std::optional<Bytes> feedBytes = fetchUpdateBytes(config_.feedUrl, UpdateFeed::maxBytes, 60, error, &ending_);
  if (!feedBytes) return reportFailure(update_error::feed, "feed: " + error);
  std::optional<UpdateFeed> feed = parseUpdateFeed(toString(*feedBytes), error);
  if (!feed) return reportFailure(update_error::feed, "feed: " + error);
  if (!isNewerBuild(feed->build, config_.launchedBuild)) {
    return report([](const UpdateEngineEvents& events) {
      if (events.noUpdate) events.noUpdate();
    });
  }
  const std::filesystem::path staging = updateStagingDir(config_.installDir);
  std::string stagedBuild;
  {
    std::lock_guard lock(mutex_);
    stagedBuild = stagedBuild_;
  }
  if (stagedBuild == feed->build && hasStagedUpdate(staging)) {
    // Already downloaded and verified: hand the waiting update over again.
    reportReady();
    return;
  }
  report([item = UpdateItem{feed->version, feed->build}](const UpdateEngineEvents& events) {
    if (events.found) events.found(item);
  });
  if (feed->size > config_.maxArchiveBytes) {
    return reportFailure(update_error::download, "archive of " + std::to_string(feed->size) +
                                                     " bytes is larger than the limit of " +
                                                     std::to_string(config_.maxArchiveBytes));
  }
  std::optional<Bytes> archiveBytes =
      fetchUpdateBytes(feed->url, static_cast<size_t>(feed->size), config_.timeoutSeconds, error, &ending_);
  if (!archiveBytes) return reportFailure(update_error::download, "archive: " + error);
  if (archiveBytes->size() != feed->size) {
    return reportFailure(update_error::download, "archive of " + std::to_string(archiveBytes->size()) +
                                                     " bytes, the feed announced " + std::to_string(feed->size));
  }
  const crypto::Ed25519PublicKey& key = *config_.publicKey;
  if (!crypto::isValidEd25519Signature(ByteView(key.data(), key.size()), *archiveBytes,
                                       ByteView(feed->signature.data(), feed->signature.size()))) {
    return reportFailure(update_error::signature, "the archive's signature does not verify");
  }
  std::optional<UpdateArchive> archive = readUpdateArchive(*archiveBytes, error);
  if (!archive) return reportFailure(update_error::archive, error);
  report([log = config_.log](const UpdateEngineEvents&) { log("🔄 rozpakowuję aktualizację"); });
  if (auto failure = stageUpdate(*archive, staging)) return reportFailure(update_error::staging, *failure);
  {
    std::lock_guard lock(mutex_);
    stagedBuild_ = feed->build;
  }
  reportReady();
}

}  // namespace tavlo
