#include "host/update/host_update_controller.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/host/update/fake_update_engine.hpp"

namespace tavlo {
namespace {

constexpr uint64_t second = 1'000'000;

struct Rig {
  FakeClock clock;
  ManualScheduler scheduler{clock};
  JsonStore settings;
  std::vector<std::string> lines;
  std::vector<std::string> statuses;
  bool sessionActive = false;
  bool keepRunning = false;
  // Whether the keep-running unit is there, answered at once unless the test holds the questions.
  bool holdUnitQuestions = false;
  std::vector<std::function<void(bool)>> unitQuestions;
  int terminations = 0;
  std::optional<std::string> diskBuild;
  std::shared_ptr<testkit::FakeUpdateEngine> engine = std::make_shared<testkit::FakeUpdateEngine>();
  std::shared_ptr<HostUpdateController> controller;

  explicit Rig(std::string feedUrl = "https://updates.example.org/feed", std::string build = "7",
               std::string folder = "/opt/tavlo") {
    HostUpdateControllerDeps deps;
    deps.canInstallNow = [this] { return !sessionActive; };
    deps.log = [this](const std::string& line) { lines.push_back(line); };
    deps.scheduler = &scheduler;
    deps.postToMain = [](std::function<void()> job) { job(); };
    deps.settings = &settings;
    deps.launchedBuild = std::move(build);
    deps.launchedVersion = "1.7";
    deps.installFolder = std::move(folder);
    deps.feedUrl = std::move(feedUrl);
    deps.makeEngine = [this] { return engine; };
    deps.askKeepRunningJob = [this](std::function<void(bool)> answer) {
      if (holdUnitQuestions) {
        unitQuestions.push_back(std::move(answer));
      } else {
        answer(keepRunning);
      }
    };
    deps.terminate = [this] { ++terminations; };
    deps.diskBuild = [this] { return diskBuild; };
    controller = HostUpdateController::create(std::move(deps));
    controller->setOnStatus([this](const std::string& s) { statuses.push_back(s); });
  }
  void advance(uint64_t us) { scheduler.advanceBy(us); }
  // Starts the controller and lets its check at launch run.
  void startPastFirstCheck() {
    controller->start();
    advance(HostUpdateController::firstCheckAfterUs);
  }
  std::string last() const { return lines.empty() ? "" : lines.back(); }
  bool logged(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
};

TEST(HostUpdateController, StartsListeningAndChecksFiveSecondsLater) {
  Rig rig;
  rig.controller->start();
  EXPECT_EQ(rig.controller->status(), "Checks at launch and every 24 h");
  EXPECT_EQ(rig.last(), "🔄 aktualizacje: nasłuch uruchomiony (build 7, kanał https://updates.example.org/feed)");
  rig.advance(5 * second - 1);
  EXPECT_EQ(rig.engine->checks, 0);
  rig.advance(1);
  EXPECT_EQ(rig.engine->checks, 1);
  EXPECT_EQ(rig.last(), "🔄 sprawdzam aktualizacje przy starcie…");

  rig.engine->find("1.8", "8");
  EXPECT_EQ(rig.controller->status(), "Downloading 1.8 (8)…");
  EXPECT_EQ(rig.last(), "🔄 znaleziono wersję 1.8 (build 8) — pobieram w tle");
  rig.engine->noUpdate();
  EXPECT_EQ(rig.controller->status(), "Up to date (build 7)");
  EXPECT_EQ(rig.last(), "🔄 brak nowszej wersji (build 7) — następne sprawdzenie za 24 h");
  rig.engine->fail(update_error::noUpdate, "none");
  EXPECT_EQ(rig.controller->status(), "Up to date (build 7)");
  EXPECT_EQ(rig.last(), "🔄 brak nowszej wersji (build 7) — następne sprawdzenie za 24 h");  // no line of its own
  rig.engine->fail(update_error::signature, "the archive's signature does not verify");
  EXPECT_EQ(rig.controller->status(), "Update error: the archive's signature does not verify");
  EXPECT_EQ(rig.last(), "🔄 błąd aktualizacji 2003: the archive's signature does not verify");
}

// Off, with the reason in the status and the state: no feed address, a build without the signing key and
// a program run from its build tree are off by design (a plain line, no error); another refusal is an
// error. None of them has an updater, so Check Now does nothing.
TEST(HostUpdateController, SaysWhyItIsOffAndChecksNothing) {
  Rig noFeed("");
  EXPECT_EQ(noFeed.controller->state(), UpdaterState::notStarted);
  noFeed.controller->start();
  EXPECT_EQ(noFeed.last(), "🔄 brak tl.updateFeedURL w ustawieniach — aktualizacje wyłączone");
  EXPECT_EQ(noFeed.controller->state(), UpdaterState::offNoFeed);
  EXPECT_EQ(noFeed.controller->status(), "Off: no update feed address is set");
  EXPECT_FALSE(noFeed.controller->hasUpdater());
  noFeed.controller->checkNow();
  EXPECT_EQ(noFeed.statuses, (std::vector<std::string>{"Off: no update feed address is set"}));

  using Reason = UpdateStartRefusal::Reason;
  struct Case {
    Reason reason;
    UpdaterState state;
    const char* status;
    const char* line;
  };
  const Case cases[] = {
      {Reason::noSigningKey, UpdaterState::offNoSigningKey, "Off: this build has no update signing key",
       "🔄 ten build nie ma klucza podpisu aktualizacji — aktualizacje wyłączone"},
      {Reason::notReleaseFolder, UpdaterState::offNotReleaseFolder, "Off: not running from a release folder",
       "🔄 host nie działa z folderu wydania (why) — aktualizacje wyłączone"},
      {Reason::failed, UpdaterState::offFailed, "Off: the updater could not start: why",
       "🔄 BŁĄD startu aktualizacji: why"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    Rig refused;
    refused.engine->startError = UpdateStartRefusal{c.reason, "why"};
    refused.controller->start();
    EXPECT_EQ(refused.last(), c.line);
    EXPECT_EQ(refused.controller->state(), c.state);
    EXPECT_EQ(refused.controller->status(), c.status);
    EXPECT_FALSE(refused.controller->hasUpdater());
    refused.controller->checkNow();
    refused.advance(10 * second);
    EXPECT_EQ(refused.engine->checks, 0);
    EXPECT_EQ(refused.controller->status(), c.status);
  }
}

// Running, the status after a check says when it was made (with a clock) and what it found.
TEST(HostUpdateController, RunningItShowsTheLastCheckAndItsResult) {
  Rig rig;
  std::string now = "14:05";
  rig.controller = nullptr;
  HostUpdateControllerDeps deps;
  deps.canInstallNow = [] { return true; };
  deps.log = [&rig](const std::string& line) { rig.lines.push_back(line); };
  deps.scheduler = &rig.scheduler;
  deps.postToMain = [](std::function<void()> job) { job(); };
  deps.settings = &rig.settings;
  deps.launchedBuild = "7";
  deps.feedUrl = "https://updates.example.org/feed";
  deps.makeEngine = [&rig] { return rig.engine; };
  deps.clockText = [&now] { return now; };
  auto controller = HostUpdateController::create(std::move(deps));
  controller->start();
  EXPECT_EQ(controller->state(), UpdaterState::running);
  EXPECT_EQ(controller->status(), "Checks at launch and every 24 h");
  rig.advance(HostUpdateController::firstCheckAfterUs);
  rig.engine->noUpdate();
  EXPECT_EQ(controller->status(), "Up to date (build 7) — last check 14:05");
  now = "15:10";
  rig.engine->fail(update_error::feed, "the feed could not be fetched");
  EXPECT_EQ(controller->status(), "Update error: the feed could not be fetched — last check 15:10");
}

TEST(HostUpdateController, ABusyEngineIsRetriedEveryThreeSecondsForAMinute) {
  Rig rig;
  rig.startPastFirstCheck();
  rig.engine->busy = true;
  rig.controller->checkNow();
  EXPECT_EQ(rig.controller->status(), "Checking for updates…");
  rig.advance(20 * 3 * second);
  EXPECT_EQ(rig.last(), "🔄 sprawdzenie na żądanie pominięte — silnik aktualizacji zajęty (sesja aktualizacji w toku od "
                        "ponad minuty)");
  EXPECT_EQ(rig.controller->status(), "Update in progress…");

  // Free again within the minute: the retry starts the check.
  rig.controller->checkNow();
  rig.advance(9 * second);
  rig.engine->busy = false;
  rig.advance(3 * second);
  EXPECT_EQ(rig.last(), "🔄 sprawdzam aktualizacje na żądanie…");
  EXPECT_EQ(rig.engine->checks, 2);
}

TEST(HostUpdateController, AnUpdateDownloadedDuringASessionInstallsThirtyOneSecondsAfterItEnds) {
  Rig rig;
  rig.startPastFirstCheck();
  rig.sessionActive = true;
  rig.engine->ready();
  EXPECT_EQ(rig.controller->status(), "Update ready — installs when no client is connected");
  EXPECT_FALSE(rig.settings.contains(HostUpdateController::installedBuildKey)) << "handed over is not installed";
  EXPECT_TRUE(rig.logged("🔄 aktualizacja pobrana i zweryfikowana — zainstaluję, gdy nie będzie sesji"));
  EXPECT_EQ(rig.last(), "🔄 sesja trwa — instalacja poczeka na jej koniec");
  rig.advance(120 * second);  // no retry while the session lasts
  EXPECT_TRUE(rig.controller->installWaiting());

  rig.sessionActive = false;
  rig.controller->sessionEnded();
  rig.advance(31 * second);
  EXPECT_EQ(rig.controller->status(), "Installing…");
  EXPECT_EQ(rig.last(), "🔄 instaluję aktualizację — instalator podmieni paczkę i zrelaunchuje hosta");
  EXPECT_EQ(rig.engine->installs, 0);
  rig.advance(1 * second);
  EXPECT_EQ(rig.engine->installs, 1);
}

TEST(HostUpdateController, AnUpdateTenSecondsAfterASessionWaitsForTheQuietPeriod) {
  Rig rig;
  rig.controller->start();
  rig.controller->sessionEnded();
  rig.advance(10 * second + 400'000);
  rig.engine->ready();
  EXPECT_EQ(rig.last(), "🔄 brak sesji od 10 s — czekam na 30 s spokoju");
  rig.advance(31 * second);
  EXPECT_EQ(rig.controller->status(), "Installing…");
  rig.advance(1 * second);
  EXPECT_EQ(rig.engine->installs, 1);
}

TEST(HostUpdateController, TheUsersOwnCheckInstallsAtOnceEvenDuringASession) {
  Rig rig;
  rig.startPastFirstCheck();
  rig.sessionActive = true;
  rig.controller->checkNow();
  rig.engine->ready();
  EXPECT_EQ(rig.controller->status(), "Installing…");

  // A waiting update is installed at once by "check now".
  Rig waiting;
  waiting.controller->start();
  waiting.sessionActive = true;
  waiting.engine->ready();
  waiting.controller->checkNow();
  EXPECT_TRUE(waiting.logged("🔄 na żądanie: aktualizacja już pobrana i czeka — instaluję od razu"));
  EXPECT_EQ(waiting.controller->status(), "Installing…");
}

TEST(HostUpdateController, AFailedCheckOfTheUsersDoesNotLetALaterUpdateCutASession) {
  Rig rig;
  rig.startPastFirstCheck();
  rig.controller->checkNow();
  rig.engine->fail(update_error::feed, "feed: Could not resolve hostname");

  // The engine's own daily check finds an update while a client is connected: it waits for the session.
  rig.sessionActive = true;
  rig.engine->ready();
  EXPECT_EQ(rig.last(), "🔄 sesja trwa — instalacja poczeka na jej koniec");
  EXPECT_EQ(rig.controller->status(), "Update ready — installs when no client is connected");
  EXPECT_TRUE(rig.controller->installWaiting());
  rig.advance(2 * second);
  EXPECT_EQ(rig.engine->installs, 0);
}

TEST(HostUpdateController, UnderTheKeepRunningUnitTheInstallStillGoesThroughTheEnginesCheck) {
  // The engine's action checks the staging as the installer will before it ends the process: ending it
  // directly would quit for an install that may be refused.
  Rig rig;
  rig.keepRunning = true;
  rig.controller->start();
  rig.advance(31 * second);
  rig.engine->ready();  // quiet since creation
  EXPECT_EQ(rig.last(),
            "🔄 instaluję: kończę proces — instalator podmieni paczkę po wyjściu, systemd (keepalive) podniesie nową "
            "wersję");
  rig.advance(1 * second);
  EXPECT_EQ(rig.engine->installs, 1);
  EXPECT_EQ(rig.terminations, 0);
}

TEST(HostUpdateController, AFailedInstallIsShownAtTheNextStartAndRetriedOnlyWhenAsked) {
  Rig rig;
  rig.settings.set(HostUpdateController::installedPendingKey, JsonValue(true));
  rig.settings.set(HostUpdateController::lastRunBuildKey, JsonValue("7"));
  rig.settings.set(HostUpdateController::installFailureKey, JsonValue("cannot switch /opt/tavlo: Input/output error"));
  rig.settings.set(HostUpdateController::failedBuildKey, JsonValue("8"));
  rig.controller->start();
  EXPECT_TRUE(rig.logged("🔄 ❌ aktualizacja nie zainstalowała się: cannot switch /opt/tavlo: Input/output error — "
                         "działa dalej build 7"));
  EXPECT_EQ(rig.controller->status(), "Update error: cannot switch /opt/tavlo: Input/output error");

  // The same build found again waits for the user instead of failing and restarting at every quiet moment.
  rig.advance(HostUpdateController::firstCheckAfterUs);
  rig.engine->find("1.8", "8");
  rig.engine->ready();
  EXPECT_EQ(rig.last(), "🔄 build 8 nie zainstalował się poprzednio — zainstaluję go tylko na żądanie");
  EXPECT_EQ(rig.controller->status(), "Update error: cannot switch /opt/tavlo: Input/output error");
  rig.advance(120 * second);
  EXPECT_EQ(rig.engine->installs, 0);
  rig.controller->checkNow();
  rig.advance(1 * second);
  EXPECT_EQ(rig.engine->installs, 1);

  // A newer build than the failed one installs on its own, and the failure is forgotten once another
  // build runs.
  Rig later;
  later.settings.set(HostUpdateController::installFailureKey, JsonValue("x"));
  later.settings.set(HostUpdateController::failedBuildKey, JsonValue("8"));
  later.controller->start();
  later.advance(31 * second);
  later.engine->find("1.9", "9");
  later.engine->ready();
  later.advance(1 * second);
  EXPECT_EQ(later.engine->installs, 1);

  Rig updated("https://updates.example.org/feed", "9");
  updated.settings.set(HostUpdateController::lastRunBuildKey, JsonValue("7"));
  updated.settings.set(HostUpdateController::installFailureKey, JsonValue("x"));
  updated.controller->start();
  EXPECT_EQ(updated.controller->status(), "Checks at launch and every 24 h");
  EXPECT_FALSE(updated.settings.contains(HostUpdateController::installFailureKey));
}

TEST(HostUpdateController, FreshnessWatchQuitsForANewerBuildOnlyWithKeepRunningAndNoSession) {
  Rig rig;
  rig.controller->start();
  rig.keepRunning = true;
  // The running build, an older one or one that is not a number: restarting would gain nothing, and
  // under the keep-running unit it would quit the host every minute.
  for (const char* same : {"7", "6", "8b", "07"}) {
    rig.diskBuild = same;
    rig.advance(60 * second);
  }
  rig.keepRunning = false;
  size_t quiet = rig.lines.size();
  EXPECT_EQ(rig.terminations, 0);

  rig.diskBuild = "9";
  rig.advance(60 * second);
  EXPECT_EQ(rig.last(), "🔄 na dysku jest build 9, działa 7 — bez keepalive zostaję (restart ręczny)");
  rig.advance(180 * second);
  EXPECT_EQ(rig.lines.size(), quiet + 1) << "said once, not every minute";

  rig.keepRunning = true;
  rig.sessionActive = true;
  rig.advance(60 * second);
  EXPECT_EQ(rig.lines.size(), quiet + 1);
  rig.sessionActive = false;
  rig.advance(60 * second);
  EXPECT_EQ(rig.last(), "🔄 na dysku jest build 9, działa 7 — kończę, systemd podniesie nową wersję");
  EXPECT_EQ(rig.terminations, 1);
}

TEST(HostUpdateController, TheQuestionToTheUserManagerIsAnsweredLaterWhileEverythingElseGoesOn) {
  // "Check now" with an update waiting: the status says so at once, the install follows the answer.
  Rig waiting;
  waiting.holdUnitQuestions = true;
  waiting.keepRunning = true;
  waiting.controller->start();
  waiting.sessionActive = true;
  waiting.engine->ready();
  waiting.controller->checkNow();
  EXPECT_EQ(waiting.controller->status(), "Installing…");
  ASSERT_EQ(waiting.unitQuestions.size(), 1u);
  waiting.advance(10 * second);
  EXPECT_EQ(waiting.engine->installs, 0);
  waiting.unitQuestions[0](true);
  waiting.advance(1 * second);
  EXPECT_EQ(waiting.engine->installs, 1) << "the engine's action checks the staging and ends the process";

  // The freshness watch: one question at a time, however long the user manager takes.
  Rig rig;
  rig.holdUnitQuestions = true;
  rig.controller->start();
  rig.diskBuild = "9";
  rig.advance(180 * second);
  ASSERT_EQ(rig.unitQuestions.size(), 1u);
  EXPECT_EQ(rig.terminations, 0);
  rig.unitQuestions[0](true);
  EXPECT_EQ(rig.last(), "🔄 na dysku jest build 9, działa 7 — kończę, systemd podniesie nową wersję");
  EXPECT_EQ(rig.terminations, 1);
}

// What the installer leaves as the program ends (build 6 in /opt/tavlo switched to build 7), and what
// earlier builds wrote when they merely handed an update over.
void recordInstall(JsonStore& settings, const std::string& folder = "/opt/tavlo") {
  settings.set(HostUpdateController::installedBuildKey, JsonValue("7"));
  settings.set(HostUpdateController::installedFromBuildKey, JsonValue("6"));
  settings.set(HostUpdateController::installedFolderKey, JsonValue(folder));
  settings.set(HostUpdateController::installedPendingKey, JsonValue(true));
  settings.set(HostUpdateController::lastRunBuildKey, JsonValue("6"));
}

TEST(HostUpdateController, OnlyTheInstalledBuildInItsFolderReportsTheInstallOnce) {
  Rig rig("");
  recordInstall(rig.settings);
  rig.controller->start();
  EXPECT_TRUE(rig.logged("🔄 ✅ host zaktualizowany: build 6 → 7 (1.7)"));
  EXPECT_FALSE(rig.settings.contains(HostUpdateController::installedFolderKey));
  EXPECT_FALSE(rig.settings.contains(HostUpdateController::installedPendingKey));
  EXPECT_EQ(rig.settings.getString(HostUpdateController::lastRunBuildKey), "7");
  Rig again("");
  again.settings.set(HostUpdateController::lastRunBuildKey, JsonValue("6"));
  again.controller->start();
  EXPECT_EQ(again.lines.size(), 1u) << again.lines.front();  // only "no feed": nothing installed

  // An older copy started by hand after the install at exit: it is not the update, and the update's own
  // start still reports it.
  Rig older("", "2", "/home/user/tavlo-old");
  recordInstall(older.settings);
  older.controller->start();
  for (const std::string& line : older.lines) EXPECT_EQ(line.find("zaktualizowany"), std::string::npos) << line;
  Rig installed("");
  for (const char* key : {HostUpdateController::installedBuildKey, HostUpdateController::installedFromBuildKey,
                          HostUpdateController::installedFolderKey, HostUpdateController::lastRunBuildKey}) {
    ASSERT_TRUE(older.settings.getString(key)) << key << " used up by another program";
    installed.settings.set(key, JsonValue(*older.settings.getString(key)));
  }
  installed.controller->start();
  EXPECT_TRUE(installed.logged("🔄 ✅ host zaktualizowany: build 6 → 7 (1.7)"));

  // The same folder running another build (put there by hand since): no report, and the record goes.
  Rig replaced("", "8");
  recordInstall(replaced.settings);
  replaced.controller->start();
  EXPECT_FALSE(replaced.logged("🔄 ✅ host zaktualizowany: build 6 → 8 (1.7)"));
  EXPECT_FALSE(replaced.settings.contains(HostUpdateController::installedBuildKey));

  // A handed-over update that no installer reported (what earlier builds wrote) is no install.
  Rig handedOver("");
  handedOver.settings.set(HostUpdateController::installedPendingKey, JsonValue(true));
  handedOver.settings.set(HostUpdateController::lastRunBuildKey, JsonValue("6"));
  handedOver.controller->start();
  EXPECT_FALSE(handedOver.logged("🔄 ✅ host zaktualizowany: build 6 → 7 (1.7)"));
}

}  // namespace
}  // namespace tavlo
