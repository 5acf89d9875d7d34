#include "host/update/feed_update_engine.hpp"

#include "host/update/update_archive.hpp"
#include "host/update/update_download.hpp"
#include "host/update/update_feed.hpp"
#include "host/update/update_installer.hpp"

namespace tavlo {
namespace {

// A text from the archive as the log may show it: control characters as '?', at most 32 bytes.
std::string shown(std::string text) {
  text = text.substr(0, 32);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// The first line of an archive file, as readUpdateBuild reads it from the staged copy.
std::optional<std::string> archiveLine(const UpdateArchive& archive, const std::string& path) {
  for (const UpdateArchiveEntry& entry : archive.entries) {
    if (entry.path != path || entry.directory) continue;
    std::string text = toString(entry.data);
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
  }
  return std::nullopt;
}

// Why the signed archive is not the release the feed announces; none when it is. Archives of earlier
// publishing tools carry no version file: the build alone decides for them.
std::optional<std::string> archiveDisagreesWithFeed(const UpdateArchive& archive, const UpdateFeed& feed) {
  const std::optional<std::string> build = archiveLine(archive, updateBuildFileName);
  if (!build) return "the archive names no build";
  if (*build != feed.build) {
    return "the archive holds build " + shown(*build) + ", the feed announced " + feed.build;
  }
  const std::optional<std::string> version = archiveLine(archive, updateVersionFileName);
  if (version && *version != feed.version) {
    return "the archive holds version " + shown(*version) + ", the feed announced " + shown(feed.version);
  }
  return std::nullopt;
}

}  // namespace

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

std::optional<UpdateStartRefusal> FeedUpdateEngine::start(UpdateEngineEvents events) {
  using Reason = UpdateStartRefusal::Reason;
  if (!config_.publicKey) return UpdateStartRefusal{Reason::noSigningKey, "this build carries no update signing key"};
  if (!isAllowedUpdateUrl(config_.feedUrl)) {
    return UpdateStartRefusal{Reason::failed,
                              "the feed address is neither https:// nor http:// to this machine: " + config_.feedUrl};
  }
  std::error_code ec;
  if (config_.installDir.empty() || !std::filesystem::is_directory(config_.installDir, ec)) {
    return UpdateStartRefusal{Reason::failed, "no install folder " + config_.installDir.string()};
  }
  // A folder a release was unpacked into names its build; any other (a build tree, a folder of copies)
  // is not switched for a release, which would take everything else in it away.
  if (!readUpdateBuild(config_.installDir)) {
    return UpdateStartRefusal{Reason::notReleaseFolder, config_.installDir.string() + " is not a release folder (it has no " +
                                                            updateBuildFileName + ")"};
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

std::optional<StagedUpdate> FeedUpdateEngine::staged() const {
  std::lock_guard lock(mutex_);
  return staged_;
}

void FeedUpdateEngine::setStaged(std::optional<StagedUpdate> staged) {
  {
    std::lock_guard lock(mutex_);
    staged_ = staged;
  }
  if (config_.staged) config_.staged(staged);
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
    // The installer's own check: a staging that a later failed one removed, or one it would refuse,
    // would end the program with nothing to install.
    const std::optional<StagedUpdate> staged = self->staged();
    const std::optional<std::string> refused =
        staged ? checkStagedUpdate(*staged, self->config_.installDir, self->config_.launchedBuild)
               : std::optional<std::string>("no update is staged");
    if (refused) {
      self->reportFailure(update_error::staging, *refused);
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
  if (!isWholeBuildNumber(feed->build)) {
    return reportFailure(update_error::feed, "feed: the build " + shown(feed->build) + " is not a build number");
  }
  if (!isNewerBuild(feed->build, config_.launchedBuild)) {
    return report([](const UpdateEngineEvents& events) {
      if (events.noUpdate) events.noUpdate();
    });
  }
  const std::optional<StagedUpdate> alreadyStaged = staged();
  std::error_code ec;
  if (alreadyStaged && alreadyStaged->build == feed->build && std::filesystem::is_directory(alreadyStaged->folder, ec)) {
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
  // The feed is not signed, the archive is: what it says it is decides (an old release announced as a
  // new build would otherwise be taken for one).
  if (auto mismatch = archiveDisagreesWithFeed(*archive, *feed)) return reportFailure(update_error::archive, *mismatch);
  report([log = config_.log](const UpdateEngineEvents&) { log("🔄 rozpakowuję aktualizację"); });
  // A new staging replaces the earlier one, which is no longer this engine's to install.
  setStaged(std::nullopt);
  Staging staging = stageUpdate(*archive, config_.installDir);
  if (!staging.staged) return reportFailure(update_error::staging, staging.failure.value_or("nothing staged"));
  if (auto refused = checkStagedUpdate(*staging.staged, config_.installDir, config_.launchedBuild)) {
    std::filesystem::remove_all(staging.staged->folder, ec);
    return reportFailure(update_error::staging, *refused);
  }
  setStaged(std::move(staging.staged));
  reportReady();
}

}  // namespace tavlo
