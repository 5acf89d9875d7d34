#include "host/update/feed_update_engine.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <future>

#include "host/update/exit_install.hpp"
#include "host/update/host_update_controller.hpp"
#include "host/update/update_archive.hpp"
#include "host/update/update_feed.hpp"
#include "host/update/update_installer.hpp"
#include "tests/host/update/fake_update_engine.hpp"
#include "tests/host/update/loopback_http_server.hpp"
#include "tests/host/update/update_test_files.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {
namespace fs = std::filesystem;

using testkit::goodFiles;
using testkit::readFile;
using testkit::writeFile;

// The engine's main executor: jobs are queued by the engine's threads and run by the test's thread.
class MainQueue {
 public:
  void post(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    ready_.notify_all();
  }
  // Runs jobs until `done` holds; false after ten seconds without it.
  bool runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::unique_lock lock(mutex_);
      // `done` may turn true without a job (the engine's worker ending): look again every few ms.
      if (!ready_.wait_for(lock, std::chrono::milliseconds(5), [this] { return !jobs_.empty(); })) continue;
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
};

struct EngineRig {
  testkit::TempDir dir;
  fs::path install = dir / "opt";
  testkit::LoopbackHttpServer server;
  FakeClock clock;
  ManualScheduler scheduler{clock};
  MainQueue main;
  crypto::Ed25519PrivateKey key = *crypto::Ed25519PrivateKey::generate();
  std::vector<std::string> lines;
  std::optional<UpdateFailure> failure;
  std::optional<UpdateItem> found;
  std::function<void()> install_;
  bool noUpdate = false;
  int quits = 0;
  std::optional<StagedUpdate> reported;  // what the engine told the program it staged
  std::shared_ptr<FeedUpdateEngine> engine;

  explicit EngineRig(size_t maxArchiveBytes = FeedUpdateEngineConfig::defaultMaxArchiveBytes,
                     long timeoutSeconds = 10) {
    fs::create_directories(install);
    writeFile(install / "tavlo-host", "old program");
    writeFile(install / "tavlo-build", "7");
    FeedUpdateEngineConfig config;
    config.feedUrl = server.url("/feed");
    config.installDir = install;
    config.launchedBuild = "7";
    config.publicKey = key.publicKey();
    config.maxArchiveBytes = maxArchiveBytes;
    config.timeoutSeconds = timeoutSeconds;
    config.scheduler = &scheduler;
    config.postToMain = [this](std::function<void()> job) { main.post(std::move(job)); };
    config.log = [this](const std::string& line) { lines.push_back(line); };
    config.quitForInstall = [this] { ++quits; };
    config.staged = [this](const std::optional<StagedUpdate>& staged) { reported = staged; };
    engine = std::make_shared<FeedUpdateEngine>(std::move(config));
    UpdateEngineEvents events;
    events.found = [this](const UpdateItem& item) { found = item; };
    events.noUpdate = [this] { noUpdate = true; };
    events.failed = [this](const UpdateFailure& f) { failure = f; };
    events.readyToInstall = [this](std::function<void()> action) { install_ = std::move(action); };
    EXPECT_EQ(engine->start(std::move(events)), std::nullopt);
  }

  // Publishes `archive` under a feed for build 8; `signedBytes` is what the signature covers.
  void publish(const Bytes& archive, const Bytes& signedBytes, size_t cutAfter = std::string::npos,
               std::optional<uint64_t> announcedSize = std::nullopt) {
    UpdateFeed feed{.version = "1.8", .build = "8", .url = server.url("/tavlo-8.tar"),
                    .size = announcedSize.value_or(archive.size()), .signature = *key.sign(signedBytes)};
    server.set("/feed", {renderUpdateFeed(feed)});
    server.set("/tavlo-8.tar", {std::string(archive.begin(), archive.end()), cutAfter});
  }

  // Publishes `files` signed under a feed that announces `build` and `version`.
  void publishAs(const std::string& build, const std::string& version, const std::vector<UpdateArchiveFile>& files) {
    Bytes archive = writeUpdateArchive(files);
    UpdateFeed feed{.version = version, .build = build, .url = server.url("/tavlo.tar"), .size = archive.size(),
                    .signature = *key.sign(archive)};
    server.set("/feed", {renderUpdateFeed(feed)});
    server.set("/tavlo.tar", {std::string(archive.begin(), archive.end())});
  }

  bool check() {
    engine->checkInBackground();
    return main.runUntil([this] { return failure || install_ || noUpdate; }) &&
           main.runUntil([this] { return !engine->sessionInProgress(); });
  }
  bool noStaging() const {
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      if (entry.path().filename().string().rfind(".opt.tavlo-update", 0) == 0) return false;
    }
    return true;
  }
  bool untouched() {
    return readFile(install / "tavlo-host") == "old program" && noStaging() &&
           !fs::exists(install / "evil") && !fs::exists(dir / "evil");
  }
};

TEST(FeedUpdateEngine, InstallsAVerifiedArchiveByRenameOnQuit) {
  // A proxy from the environment must not take loopback traffic.
  ::setenv("http_proxy", "http://127.0.0.1:9", 1);
  EngineRig rig;
  Bytes archive = writeUpdateArchive(goodFiles);
  rig.publish(archive, archive);
  ASSERT_TRUE(rig.check());
  ASSERT_FALSE(rig.failure) << rig.failure->description;
  ASSERT_TRUE(rig.found);
  EXPECT_EQ(rig.found->displayVersion, "1.8");
  EXPECT_EQ(rig.found->version, "8");
  ASSERT_TRUE(rig.install_);
  EXPECT_EQ(rig.lines, std::vector<std::string>{"🔄 rozpakowuję aktualizację"});
  // Staged, not yet installed: the running program is still the old one.
  EXPECT_EQ(readFile(rig.install / "tavlo-host"), "old program");

  rig.install_();
  EXPECT_EQ(rig.lines.back(), "🔄 instalator gotowy — kończę proces (instalator podmieni paczkę)");
  rig.scheduler.advanceBy(FeedUpdateEngine::quitDelayUs);
  ASSERT_TRUE(rig.main.runUntil([&] { return rig.quits == 1; }));

  // On the way out the program installs what is staged, by rename: the running program's open file
  // keeps its old bytes.
  std::ifstream running(rig.install / "tavlo-host", std::ios::binary);
  ASSERT_TRUE(rig.reported);
  ASSERT_TRUE(rig.engine->staged());
  EXPECT_EQ(rig.reported->folder, rig.engine->staged()->folder);
  EXPECT_EQ(installStagedUpdate(*rig.reported, rig.install, "7"), std::nullopt);
  std::string stillRunning;
  std::getline(running, stillRunning);
  EXPECT_EQ(stillRunning, "old program");
  EXPECT_EQ(readFile(rig.install / "tavlo-host"), "new program");
  EXPECT_EQ(readFile(rig.install / "tavlo-build"), "8");
  EXPECT_EQ(readFile(rig.install / "share/readme.txt"), "hello");
  EXPECT_NE(fs::status(rig.install / "tavlo-host").permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_TRUE(rig.noStaging());
  ::unsetenv("http_proxy");
}

TEST(FeedUpdateEngine, AnInstallWhoseSwitchFailsLeavesTheOldReleaseWholeAndCanBeMadeLater) {
  EngineRig rig;
  fs::create_directories(rig.install / "lib");
  writeFile(rig.install / "lib/old.so", "old library");
  Bytes archive = writeUpdateArchive(goodFiles);
  rig.publish(archive, archive);
  ASSERT_TRUE(rig.check());
  ASSERT_TRUE(rig.install_);
  rig.install_();
  rig.scheduler.advanceBy(FeedUpdateEngine::quitDelayUs);
  ASSERT_TRUE(rig.main.runUntil([&] { return rig.quits == 1; }));

  // On the way out the one rename that switches the releases fails.
  JsonStore settings;
  settings.set(HostUpdateController::lastRunBuildKey, JsonValue("7"));
  RenameOperation failing = [](const fs::path&, const fs::path&, unsigned) { return EIO; };
  EXPECT_EQ(installStagedUpdateOnExit(rig.reported, rig.install, "7", settings, failing), ExitInstall::failed);
  EXPECT_EQ(readFile(rig.install / "tavlo-host"), "old program");
  EXPECT_EQ(readFile(rig.install / "tavlo-build"), "7");
  EXPECT_EQ(readFile(rig.install / "lib/old.so"), "old library");
  EXPECT_FALSE(fs::exists(rig.install / "share"));

  // The old program starts again and its Updates pane says why.
  std::string status;
  HostUpdateControllerDeps deps;
  deps.canInstallNow = [] { return true; };
  deps.log = [&](const std::string& line) { rig.lines.push_back(line); };
  deps.scheduler = &rig.scheduler;
  deps.postToMain = [](std::function<void()> job) { job(); };
  deps.settings = &settings;
  deps.launchedBuild = "7";
  deps.feedUrl = "https://updates.example.org/feed";
  deps.makeEngine = [] { return std::make_shared<testkit::FakeUpdateEngine>(); };
  auto restarted = HostUpdateController::create(std::move(deps));
  restarted->setOnStatus([&](const std::string& text) { status = text; });
  restarted->start();
  EXPECT_EQ(status, "Update error: cannot switch " + rig.install.string() +
                        " to the new release: Input/output error; nothing installed");

  // Still staged, and still what the installer accepts: the next exit installs it whole.
  ASSERT_TRUE(rig.reported);
  EXPECT_EQ(checkStagedUpdate(*rig.reported, rig.install, "7"), std::nullopt);
  EXPECT_EQ(installStagedUpdateOnExit(rig.reported, rig.install, "7", settings), ExitInstall::installed);
  EXPECT_EQ(readFile(rig.install / "tavlo-host"), "new program");
  EXPECT_EQ(readFile(rig.install / "share/readme.txt"), "hello");
  EXPECT_FALSE(fs::exists(rig.install / "lib"));  // the release is the archive's, nothing older left in it
  EXPECT_TRUE(rig.noStaging());
}

TEST(FeedUpdateEngine, AnInstallWhoseStagingIsGoneIsReportedInsteadOfEndingTheProgram) {
  EngineRig rig;
  Bytes archive = writeUpdateArchive(goodFiles);
  rig.publish(archive, archive);
  ASSERT_TRUE(rig.check());
  ASSERT_TRUE(rig.install_);
  std::function<void()> installBuild8 = std::move(rig.install_);
  rig.install_ = nullptr;

  // Build 9 arrives before build 8 was installed, and cannot be staged: the staging of 8 is gone too.
  Bytes clash = writeUpdateArchive({{"tavlo-build", false, "9\n"}, {"a", false, "x"}, {"a/b", false, "y"}});
  UpdateFeed feed{.version = "1.9", .build = "9", .url = rig.server.url("/tavlo-9.tar"), .size = clash.size(),
                  .signature = *rig.key.sign(clash)};
  rig.server.set("/feed", {renderUpdateFeed(feed)});
  rig.server.set("/tavlo-9.tar", {std::string(clash.begin(), clash.end())});
  ASSERT_TRUE(rig.check());
  ASSERT_TRUE(rig.failure);
  EXPECT_EQ(rig.failure->code, update_error::staging);
  EXPECT_FALSE(rig.engine->staged());
  EXPECT_FALSE(rig.reported);
  EXPECT_TRUE(rig.noStaging());

  // Quitting now would end the program with nothing to install and nothing to start it again.
  rig.failure.reset();
  installBuild8();
  rig.scheduler.advanceBy(FeedUpdateEngine::quitDelayUs);
  ASSERT_TRUE(rig.main.runUntil([&] { return rig.failure || rig.quits > 0; }));
  EXPECT_EQ(rig.quits, 0);
  ASSERT_TRUE(rig.failure);
  EXPECT_EQ(rig.failure->code, update_error::staging);
  EXPECT_TRUE(rig.untouched());
}

TEST(FeedUpdateEngine, OnlyASignedReleaseThatIsTheAnnouncedNewerBuildIsStaged) {
  // The feed is not signed; the archive is, and names its own build. Each of these would once have had
  // the host quit to install, and the installer refuse the install, with nothing to start the host again.
  const std::vector<UpdateArchiveFile> oldRelease = {
      {"tavlo-host", true, "release 3"}, {"tavlo-build", false, "3\n"}, {"tavlo-version", false, "1.3\n"}};
  struct Case {
    const char* why;
    std::string build, version;
    std::vector<UpdateArchiveFile> files;
    std::optional<int> code;  // none: up to date
    const char* failure;
  };
  const Case cases[] = {
      {"an old signed release replayed under a newer build", "9", "1.9", oldRelease, update_error::archive,
       "the archive holds build 3, the feed announced 9"},
      {"an old signed release under its own build", "3", "1.3", oldRelease, std::nullopt, ""},
      {"a signed release whose build is not a number", "8b", "1.8",
       {{"tavlo-host", true, "x"}, {"tavlo-build", false, "8b\n"}}, update_error::feed,
       "feed: the build 8b is not a build number"},
      {"a signed archive that names no build", "8", "1.8", {{"tavlo-host", true, "x"}}, update_error::archive,
       "the archive names no build"},
      {"a signed release of another version", "8", "1.8",
       {{"tavlo-host", true, "x"}, {"tavlo-build", false, "8\n"}, {"tavlo-version", false, "2.0\n"}},
       update_error::archive, "the archive holds version 2.0, the feed announced 1.8"},
  };
  for (const Case& c : cases) {
    EngineRig rig;
    rig.publishAs(c.build, c.version, c.files);
    ASSERT_TRUE(rig.check()) << c.why;
    EXPECT_FALSE(rig.install_) << c.why;
    EXPECT_EQ(rig.quits, 0) << c.why;
    EXPECT_TRUE(rig.untouched()) << c.why;
    if (!c.code) {
      EXPECT_TRUE(rig.noUpdate) << c.why;
      continue;
    }
    ASSERT_TRUE(rig.failure) << c.why;
    EXPECT_EQ(rig.failure->code, *c.code) << c.why;
    EXPECT_EQ(rig.failure->description, c.failure) << c.why;
  }

  // The announced build inside the signed archive, newer than the running one: staged, then installed.
  EngineRig rig;
  rig.publishAs("8", "1.8", {{"tavlo-host", true, "release 8"}, {"tavlo-build", false, "8\n"},
                             {"tavlo-version", false, "1.8\n"}});
  ASSERT_TRUE(rig.check());
  ASSERT_TRUE(rig.install_) << (rig.failure ? rig.failure->description : "");
  ASSERT_TRUE(rig.engine->staged());
  EXPECT_EQ(installStagedUpdate(*rig.engine->staged(), rig.install, "7"), std::nullopt);
  EXPECT_EQ(readUpdateBuild(rig.install), "8");
  EXPECT_EQ(readUpdateVersion(rig.install), "1.8");
}

TEST(FeedUpdateEngine, AFolderThatIsNoReleaseIsNeverUpdated) {
  // A build tree or a folder of copies: switching it for a release would take everything else away.
  testkit::TempDir dir;
  writeFile(dir / "tavlo-host", "built here");
  FakeClock clock;
  ManualScheduler scheduler{clock};
  FeedUpdateEngineConfig config;
  config.feedUrl = "https://updates.example.org/feed";
  config.installDir = dir.path();
  config.launchedBuild = "7";
  config.publicKey = crypto::Ed25519PrivateKey::generate()->publicKey();
  config.scheduler = &scheduler;
  auto engine = std::make_shared<FeedUpdateEngine>(std::move(config));
  EXPECT_EQ(engine->start({}), (UpdateStartRefusal{UpdateStartRefusal::Reason::notReleaseFolder,
                                                   dir.path().string() + " is not a release folder (it has no tavlo-build)"}));
}

TEST(FeedUpdateEngine, EndingTheEngineCancelsADownloadInProgress) {
  // A download that stalls would otherwise hold the program's exit for the whole transfer time limit.
  EngineRig rig(FeedUpdateEngineConfig::defaultMaxArchiveBytes, 600);
  Bytes archive = writeUpdateArchive(goodFiles);
  rig.publish(archive, archive);
  rig.server.set("/tavlo-8.tar", {.bytes = std::string(archive.begin(), archive.end()),
                                  .cutAfter = archive.size() / 2,
                                  .holdOpen = true});
  rig.engine->checkInBackground();
  ASSERT_TRUE(rig.main.runUntil([&] { return rig.server.holding(); }));
  auto ended = std::async(std::launch::async, [&] { rig.engine.reset(); });
  const bool endedSoon = ended.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  rig.server.release();  // lets a transfer that was not cancelled end, so that the test does too
  ended.wait();
  EXPECT_TRUE(endedSoon);
  EXPECT_FALSE(rig.install_);
  EXPECT_TRUE(rig.untouched());
}

TEST(FeedUpdateEngine, TheSameBuildIsUpToDate) {
  EngineRig rig;
  UpdateFeed feed{.version = "1.7", .build = "7", .url = rig.server.url("/x"), .size = 1, .signature = {}};
  rig.server.set("/feed", {renderUpdateFeed(feed)});
  ASSERT_TRUE(rig.check());
  EXPECT_TRUE(rig.noUpdate);
  EXPECT_FALSE(rig.found);
}

TEST(FeedUpdateEngine, ABadArchiveInstallsNothingAndReportsTheError) {
  Bytes good = writeUpdateArchive(goodFiles);
  Bytes tampered = good;
  tampered[600] ^= 1;
  Bytes escaping = writeUpdateArchive({{"../evil", false, "x"}});
  Bytes absolute = writeUpdateArchive({{"/tmp/evil", false, "x"}});
  struct Case {
    const char* why;
    Bytes served;
    Bytes signedBytes;
    size_t cutAfter;
    std::optional<uint64_t> announced;
    size_t maxArchive;
    int code;
  };
  const size_t noCut = std::string::npos, noLimit = FeedUpdateEngineConfig::defaultMaxArchiveBytes;
  const Case cases[] = {
      {"bytes changed after signing", tampered, good, noCut, std::nullopt, noLimit, update_error::signature},
      {"the connection ends early", good, good, good.size() / 2, std::nullopt, noLimit, update_error::download},
      {"fewer bytes than announced", Bytes(good.begin(), good.end() - 512), good, noCut, good.size(), noLimit,
       update_error::download},
      {"a signed archive climbing out with ..", escaping, escaping, noCut, std::nullopt, noLimit, update_error::archive},
      {"a signed archive with an absolute path", absolute, absolute, noCut, std::nullopt, noLimit,
       update_error::archive},
      {"larger than the limit", good, good, noCut, std::nullopt, good.size() - 1, update_error::download},
  };
  for (const Case& c : cases) {
    EngineRig rig(c.maxArchive);
    rig.publish(c.served, c.signedBytes, c.cutAfter, c.announced);
    ASSERT_TRUE(rig.check()) << c.why;
    ASSERT_TRUE(rig.failure) << c.why;
    EXPECT_EQ(rig.failure->code, c.code) << c.why << ": " << rig.failure->description;
    EXPECT_FALSE(rig.install_) << c.why;
    EXPECT_TRUE(rig.untouched()) << c.why;
  }

  EngineRig hugeFeed;
  hugeFeed.server.set("/feed", {std::string(UpdateFeed::maxBytes + 1, '#')});
  ASSERT_TRUE(hugeFeed.check());
  ASSERT_TRUE(hugeFeed.failure);
  EXPECT_EQ(hugeFeed.failure->code, update_error::feed);
  EXPECT_TRUE(hugeFeed.untouched());
}

}  // namespace
}  // namespace tavlo
