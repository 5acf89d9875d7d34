#include "host/controller/autostart_reconciler.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

namespace tavlo {
namespace {

const std::string plainUnit(autostartUnitName(AutostartUnitKind::plain));
const std::string keepUnit(autostartUnitName(AutostartUnitKind::keepRunning));
constexpr int32_t ownPid = 4242;

// A user manager in memory: answers the queries from its tables and records every command.
class FakeUserManager final : public CommandRunner {
 public:
  CommandResult run(const std::vector<std::string>& argv) override {
    if (argv.at(0) == "systemd-analyze") return {-1, {}};  // not installed: the unit as written stands
    calls.push_back(join(argv));
    const std::string& verb = argv.at(2);
    const std::string& unit = argv.back();
    if (verb == "is-enabled") return {enabled[unit] ? 0 : 1, enabled[unit] ? "enabled\n" : "disabled\n"};
    if (verb == "is-active") return {active[unit] ? 0 : 3, {}};
    if (verb == "show") return {0, pidText.count(unit) ? pidText[unit] : std::to_string(pids[unit]) + "\n"};
    if (verb == "enable") enabled[unit] = true;
    if (verb == "disable") enabled[unit] = false;
    if (verb == "stop") active[unit] = false, pids[unit] = 0;
    return {0, {}};
  }
  static std::string join(const std::vector<std::string>& argv) {
    std::string text;
    for (size_t i = 2; i < argv.size(); ++i) text += (i > 2 ? " " : "") + argv[i];
    return text;
  }
  // The commands that change something, in order.
  std::vector<std::string> changes() const {
    std::vector<std::string> out;
    for (const auto& c : calls) {
      if (c.rfind("is-", 0) != 0 && c.rfind("show", 0) != 0) out.push_back(c);
    }
    return out;
  }
  std::map<std::string, bool> enabled, active;
  std::map<std::string, int32_t> pids;
  std::map<std::string, std::string> pidText;
  std::vector<std::string> calls;
};

struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavlo-reconcile-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

struct Rig {
  Rig() {
    AutostartReconcilerDeps deps{.runner = manager, .settings = &settings, .scheduler = &scheduler,
                                 .post = [](std::function<void()> job) { job(); },
                                 .plan = AutostartInstallPlan{dir.path, "/usr/bin/tavlo-host", "1", false},
                                 .noPlanReason = {},
                                 .ownPid = ownPid,
                                 .log = [this](const std::string& line) { lines.push_back(line); }};
    reconciler = std::make_shared<AutostartReconciler>(std::move(deps));
  }
  void reconcile() {
    reconciler->reconcile([this](bool handOver) { result = handOver; });
  }
  void want(bool login, bool keep) {
    settings.set("tl.autostartLogin", JsonValue(login));
    settings.set("tl.autostartKeepRunning", JsonValue(keep));
  }
  TempDir dir;
  std::shared_ptr<FakeUserManager> manager = std::make_shared<FakeUserManager>();
  JsonStore settings;
  FakeClock clock;
  ManualScheduler scheduler{clock};
  std::vector<std::string> lines;
  std::optional<bool> result;
  std::shared_ptr<AutostartReconciler> reconciler;
};

TEST(AutostartReconciler, FirstRunWithNothingRegisteredStoresOffAndEnforcesIt) {
  Rig rig;
  rig.reconcile();
  EXPECT_EQ(rig.settings.getBool("tl.autostartLogin"), false);
  EXPECT_EQ(rig.settings.getBool("tl.autostartKeepRunning"), false);
  EXPECT_EQ(rig.lines, (std::vector<std::string>{
                           "🚀 autostart: chcę login=false keep=false; plain=notRegistered keepalive=notRegistered; "
                           "zadania plain=false keepalive=false → UZGADNIAM",
                           "🚀 autostart po uzgodnieniu: plain=notRegistered keepalive=notRegistered"}));
  const auto changes = rig.manager->changes();
  EXPECT_EQ(std::count_if(changes.begin(), changes.end(), [](const std::string& c) { return c.rfind("stop", 0) == 0; }), 0);
  EXPECT_EQ(rig.result, false);
}

TEST(AutostartReconciler, FirstRunSeedsFromTheRegisteredUnitAndAnExistingWishIsKept) {
  Rig rig;
  rig.manager->enabled[keepUnit] = rig.manager->active[keepUnit] = true;
  rig.manager->pids[keepUnit] = ownPid;
  rig.reconcile();
  EXPECT_EQ(rig.settings.getBool("tl.autostartLogin"), true);
  EXPECT_EQ(rig.settings.getBool("tl.autostartKeepRunning"), true);
  EXPECT_EQ(rig.lines.back(), "🚀 autostart: chcę login=true keep=true; plain=notRegistered keepalive=enabled; "
                              "zadania plain=false keepalive=true → spójne");
  EXPECT_TRUE(rig.manager->changes().empty());
  EXPECT_EQ(rig.result, false);

  Rig again;
  again.want(false, false);
  again.manager->enabled[keepUnit] = true;
  again.reconcile();
  EXPECT_EQ(again.settings.getBool("tl.autostartLogin"), false);
  EXPECT_FALSE(again.manager->enabled[keepUnit]);
}

TEST(AutostartReconciler, AConsistentStartAsksTheManagerOnceAboutEachUnit) {
  Rig rig;
  rig.want(true, false);
  rig.manager->enabled[plainUnit] = rig.manager->active[plainUnit] = true;
  rig.manager->pids[plainUnit] = ownPid;
  rig.reconcile();
  EXPECT_EQ(rig.lines.back(), "🚀 autostart: chcę login=true keep=false; plain=enabled keepalive=notRegistered; "
                              "zadania plain=true keepalive=false → spójne");
  EXPECT_EQ(rig.manager->calls, (std::vector<std::string>{"is-enabled " + plainUnit, "is-enabled " + keepUnit,
                                                           "is-active " + plainUnit, "is-active " + keepUnit}))
      << "every question is a process started on the main executor";
  EXPECT_EQ(rig.result, false);
}

TEST(AutostartReconciler, AnotherUnitRegisteredOrLoadedIsNotConsistent) {
  Rig rig;
  rig.want(true, false);
  rig.manager->enabled[plainUnit] = rig.manager->active[plainUnit] = true;
  rig.manager->active[keepUnit] = true;
  rig.manager->pids[keepUnit] = 999;
  rig.manager->pids[plainUnit] = ownPid;
  rig.reconcile();
  EXPECT_EQ(rig.lines.front(), "🚀 autostart: chcę login=true keep=false; plain=enabled keepalive=notRegistered; "
                               "zadania plain=true keepalive=true → UZGADNIAM");
  EXPECT_EQ(rig.manager->changes(), (std::vector<std::string>{"disable " + keepUnit, "stop " + keepUnit,
                                                               "disable " + keepUnit}));
  EXPECT_EQ(rig.result, false);  // this process is the plain unit's own instance: nothing to wait for
}

TEST(AutostartReconciler, DormantWantedUnitIsRegisteredAgainAndTheServiceInstanceTakesOver) {
  Rig rig;
  rig.want(true, false);
  rig.manager->enabled[plainUnit] = true;
  rig.reconcile();
  EXPECT_EQ(rig.lines.front(), "🚀 autostart: chcę login=true keep=false; plain=enabled keepalive=notRegistered; "
                               "zadania plain=false keepalive=false → UZGADNIAM");
  EXPECT_EQ(rig.manager->changes(),
            (std::vector<std::string>{"disable " + keepUnit, "disable " + plainUnit, "disable " + keepUnit,
                                      "daemon-reload", "enable " + plainUnit, "start --no-block " + plainUnit}));
  EXPECT_TRUE(std::filesystem::exists(rig.dir.path / plainUnit));
  EXPECT_EQ(rig.lines.at(1), "🚀 autostart po uzgodnieniu: plain=enabled keepalive=notRegistered");
  EXPECT_FALSE(rig.result);  // waiting, without blocking
  rig.scheduler.advanceBy(1'000'000);
  EXPECT_FALSE(rig.result);
  rig.manager->pids[plainUnit] = 777;
  rig.scheduler.advanceBy(500'000);
  EXPECT_EQ(rig.result, true);
  EXPECT_EQ(rig.lines.back(), "🚀 autostart: systemd uruchomił własną instancję (pid 777) — ta, ręczna, ustępuje");
}

TEST(AutostartReconciler, HandOverGivesUpAfterFiveSeconds) {
  Rig rig;
  rig.want(true, true);
  rig.reconcile();
  rig.scheduler.advanceBy(4'999'999);
  EXPECT_FALSE(rig.result);
  rig.scheduler.advanceBy(1);
  EXPECT_EQ(rig.result, false);
  EXPECT_EQ(rig.lines.back(),
            "🚀 autostart: systemd nie uruchomił własnej instancji w 5 s — zostaję jako instancja ręczna");
  EXPECT_EQ(rig.scheduler.pendingCount(), 0u);
}

TEST(AutostartReconciler, SwitchingToKeepRunningNeverStopsTheUnitRunningThisProcess) {
  Rig rig;
  rig.want(true, true);
  rig.manager->enabled[plainUnit] = rig.manager->active[plainUnit] = true;
  rig.manager->pids[plainUnit] = ownPid;
  rig.reconcile();
  const auto changes = rig.manager->changes();
  EXPECT_EQ(std::find(changes.begin(), changes.end(), "stop " + plainUnit), changes.end());
  EXPECT_NE(std::find(changes.begin(), changes.end(), "enable " + keepUnit), changes.end());
  EXPECT_FALSE(rig.manager->enabled[plainUnit]);
  EXPECT_EQ(rig.lines.back(), "🚀 autostart po uzgodnieniu: plain=notRegistered keepalive=enabled");
  EXPECT_EQ(rig.result, false);
}

TEST(AutostartReconciler, AnEarlierVersionsUnitIsRetiredButNeverStoppedUnderItsOwnInstance) {
  for (const int32_t legacyPid : {ownPid, 555}) {
    Rig rig;
    rig.want(true, false);
    const std::string legacy(legacyHostUnitName);
    std::ofstream(rig.dir.path / legacy) << "[Service]\n";
    rig.manager->enabled[legacy] = rig.manager->active[legacy] = true;
    rig.manager->pids[legacy] = legacyPid;
    rig.reconcile();
    EXPECT_FALSE(std::filesystem::exists(rig.dir.path / legacy));
    EXPECT_FALSE(rig.manager->enabled[legacy]);
    const auto changes = rig.manager->changes();
    EXPECT_EQ(std::find(changes.begin(), changes.end(), "stop " + legacy) != changes.end(), legacyPid != ownPid);
  }
  Rig absent;
  absent.want(true, false);
  absent.reconcile();
  const auto changes = absent.manager->changes();
  EXPECT_EQ(std::count_if(changes.begin(), changes.end(),
                          [](const std::string& c) { return c.find(legacyHostUnitName) != std::string::npos; }),
            0)
      << "nothing is done without the earlier unit's file";
}

TEST(AutostartReconciler, RegistrationFailureIsLoggedAndStartUpGoesOn) {
  Rig rig;
  AutostartReconcilerDeps deps{.runner = rig.manager, .settings = &rig.settings, .scheduler = &rig.scheduler,
                               .post = [](std::function<void()> job) { job(); },
                               .plan = std::nullopt, .noPlanReason = "no unit directory", .ownPid = ownPid,
                               .log = [&rig](const std::string& line) { rig.lines.push_back(line); }};
  rig.want(true, false);
  auto reconciler = std::make_shared<AutostartReconciler>(std::move(deps));
  reconciler->reconcile([&rig](bool handOver) { rig.result = handOver; });
  EXPECT_EQ(rig.lines.at(1), "🚀 autostart: rejestracja nie powiodła się — no unit directory");
  EXPECT_EQ(rig.lines.at(2), "🚀 autostart po uzgodnieniu: plain=notRegistered keepalive=notRegistered");
}

TEST(AutostartReconciler, JobPidAcceptsOnlyAPositiveNumber) {
  FakeUserManager manager;
  manager.pidText[plainUnit] = " 123\n";
  EXPECT_EQ(autostartJobPid(AutostartUnitKind::plain, manager), 123);
  for (const char* text : {"0\n", "abc\n", "12x\n", "\n", "99999999999\n"}) {
    manager.pidText[plainUnit] = text;
    EXPECT_EQ(autostartJobPid(AutostartUnitKind::plain, manager), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace tavlo
