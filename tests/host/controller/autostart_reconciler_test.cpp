#include "host/controller/autostart_reconciler.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

namespace tavlo {
namespace {

const std::string plainUnit(autostartUnitName(AutostartUnitKind::plain));
const std::string keepUnit(autostartUnitName(AutostartUnitKind::keepRunning));
constexpr int32_t ownPid = 4242;

// A user manager in memory: answers the queries from its tables and records every command.
class FakeUserManager final : public CommandRunner {
 public:
  CommandResult run(const std::vector<std::string>& argv) override {
    // Checkers not installed: the unit and the entry as written stand.
    if (argv.at(0) == "systemd-analyze" || argv.at(0) == "desktop-file-validate") return {-1, {}};
    calls.push_back(join(argv));
    const std::string& verb = argv.at(2);
    const std::string& unit = argv.back();
    if (verb == "is-enabled") return {enabled[unit] ? 0 : 1, enabled[unit] ? "enabled\n" : "disabled\n"};
    if (verb == "is-active") return {active[unit] ? 0 : 3, {}};
    if (verb == "show") return {0, pidText.count(unit) ? pidText[unit] : std::to_string(pids[unit]) + "\n"};
    if (verb == "enable") enabled[unit] = true;
    if (verb == "disable") enabled[unit] = false;
    if (verb == "stop") active[unit] = false, pids[unit] = 0;
    if (refused.count(verb)) return {1, "Failed to connect to bus: No medium found\n"};
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
  std::set<std::string> refused;  // verbs the manager refuses
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
                                 .plan = AutostartInstallPlan{units(), entries(), "/usr/bin/tavlo-host", "1", false},
                                 .noPlanReason = {},
                                 .ownPid = ownPid,
                                 .log = [this](const std::string& line) { lines.push_back(line); }};
    reconciler = std::make_shared<AutostartReconciler>(std::move(deps));
  }
  void reconcile() {
    reconciler->reconcile([this](bool handOver) { result = handOver; });
  }
  std::filesystem::path units() const { return dir.path / "systemd" / "user"; }
  std::filesystem::path entries() const { return dir.path / "autostart"; }
  // What an earlier registration of `kind` left: its entry and, to keep running, the service.
  void registered(AutostartUnitKind kind) {
    std::filesystem::create_directories(entries());
    std::filesystem::create_directories(units());
    std::ofstream(entries() / autostartEntryName(kind)) << "[Desktop Entry]\n";
    if (kind == AutostartUnitKind::keepRunning) std::ofstream(units() / keepUnit) << "[Service]\n";
  }
  bool hasFile(const std::filesystem::path& path) const { return std::filesystem::exists(path); }
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

TEST(AutostartReconciler, FirstRunSeedsFromTheRegisteredKindAndAnExistingWishIsKept) {
  Rig rig;
  rig.registered(AutostartUnitKind::keepRunning);
  rig.manager->active[keepUnit] = true;
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
  again.registered(AutostartUnitKind::keepRunning);
  again.reconcile();
  EXPECT_EQ(again.settings.getBool("tl.autostartLogin"), false);
  EXPECT_FALSE(again.hasFile(again.entries() / autostartEntryName(AutostartUnitKind::keepRunning)));
  EXPECT_FALSE(again.hasFile(again.units() / keepUnit));
}

// The plain kind is its login entry alone: nothing runs until the next login, so nothing is waited for.
TEST(AutostartReconciler, ThePlainKindIsConsistentWithItsEntryAndAsksTheManagerOnlyAboutJobs) {
  Rig rig;
  rig.want(true, false);
  rig.registered(AutostartUnitKind::plain);
  rig.reconcile();
  EXPECT_EQ(rig.lines.back(), "🚀 autostart: chcę login=true keep=false; plain=enabled keepalive=notRegistered; "
                              "zadania plain=false keepalive=false → spójne");
  EXPECT_EQ(rig.manager->calls, (std::vector<std::string>{"is-active " + plainUnit, "is-active " + keepUnit}));
  EXPECT_EQ(rig.result, false);

  Rig fresh;
  fresh.want(true, false);
  fresh.reconcile();
  EXPECT_TRUE(fresh.hasFile(fresh.entries() / autostartEntryName(AutostartUnitKind::plain)));
  EXPECT_EQ(fresh.result, false) << "an entry starts no instance to give way to";
  EXPECT_EQ(fresh.scheduler.pendingCount(), 0u);
}

TEST(AutostartReconciler, AnotherKindRegisteredOrRunningIsNotConsistent) {
  Rig rig;
  rig.want(true, false);
  rig.registered(AutostartUnitKind::plain);
  rig.manager->active[keepUnit] = true;
  rig.manager->pids[keepUnit] = 999;
  rig.reconcile();
  EXPECT_EQ(rig.lines.front(), "🚀 autostart: chcę login=true keep=false; plain=enabled keepalive=notRegistered; "
                               "zadania plain=false keepalive=true → UZGADNIAM");
  const auto changes = rig.manager->changes();
  EXPECT_NE(std::find(changes.begin(), changes.end(), "stop " + keepUnit), changes.end());
  EXPECT_EQ(rig.result, false);
}

// At login the entry starts a host; to keep running it hands the session's display to the user manager,
// starts the service and gives way to the service's instance.
TEST(AutostartReconciler, TheKeepRunningServiceGetsTheSessionsDisplayAndItsInstanceTakesOver) {
  ::setenv("DISPLAY", ":77", 1);
  Rig rig;
  rig.want(true, true);
  rig.registered(AutostartUnitKind::keepRunning);
  rig.reconcile();
  EXPECT_EQ(rig.lines.front(), "🚀 autostart: chcę login=true keep=true; plain=notRegistered keepalive=enabled; "
                               "zadania plain=false keepalive=false → UZGADNIAM");
  const auto changes = rig.manager->changes();
  const auto imported = std::find_if(changes.begin(), changes.end(), [](const std::string& c) {
    return c.rfind("import-environment", 0) == 0 && c.find("DISPLAY") != std::string::npos;
  });
  const auto started = std::find(changes.begin(), changes.end(), "start --no-block " + keepUnit);
  ASSERT_NE(imported, changes.end());
  ASSERT_NE(started, changes.end());
  EXPECT_LT(imported, started) << "the service must find the display when it starts";
  EXPECT_EQ(rig.lines.at(1), "🚀 autostart po uzgodnieniu: plain=notRegistered keepalive=enabled");
  EXPECT_FALSE(rig.result);  // waiting, without blocking
  rig.scheduler.advanceBy(1'000'000);
  EXPECT_FALSE(rig.result);
  rig.manager->pids[keepUnit] = 777;
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

// Without a working user manager the registration is refused: nothing of it stays, and the start goes on
// at once instead of waiting 5 s for an instance that cannot come.
TEST(AutostartReconciler, ARefusedRegistrationLeavesNothingAndIsNotWaitedFor) {
  for (const char* verb : {"daemon-reload", "start"}) {
    SCOPED_TRACE(verb);
    Rig rig;
    rig.want(true, true);
    rig.manager->refused.insert(verb);
    rig.reconcile();
    EXPECT_EQ(rig.result, false);
    EXPECT_EQ(rig.scheduler.pendingCount(), 0u);
    ASSERT_GE(rig.lines.size(), 3u);
    EXPECT_EQ(rig.lines.at(1).rfind("🚀 autostart: rejestracja nie powiodła się — systemctl --user " +
                                        std::string(verb), 0), 0u) << rig.lines.at(1);
    EXPECT_EQ(rig.lines.at(2), "🚀 autostart po uzgodnieniu: plain=notRegistered keepalive=notRegistered");
    EXPECT_FALSE(rig.hasFile(rig.units() / keepUnit));
    EXPECT_FALSE(rig.hasFile(rig.entries() / autostartEntryName(AutostartUnitKind::keepRunning)));
  }
}

TEST(AutostartReconciler, SwitchingToKeepRunningNeverStopsTheUnitRunningThisProcess) {
  Rig rig;
  rig.want(true, true);
  // An earlier version's plain unit started this process.
  std::filesystem::create_directories(rig.units());
  std::ofstream(rig.units() / plainUnit) << "[Service]\n";
  rig.manager->enabled[plainUnit] = rig.manager->active[plainUnit] = true;
  rig.manager->pids[plainUnit] = ownPid;
  rig.reconcile();
  const auto changes = rig.manager->changes();
  EXPECT_EQ(std::find(changes.begin(), changes.end(), "stop " + plainUnit), changes.end());
  EXPECT_FALSE(rig.manager->enabled[plainUnit]);
  EXPECT_FALSE(rig.hasFile(rig.units() / plainUnit)) << "the earlier login unit is retired";
  EXPECT_TRUE(rig.hasFile(rig.units() / keepUnit));
  EXPECT_EQ(rig.lines.at(1), "🚀 autostart po uzgodnieniu: plain=notRegistered keepalive=enabled");
}

TEST(AutostartReconciler, AnEarlierVersionsUnitIsRetiredButNeverStoppedUnderItsOwnInstance) {
  for (const int32_t legacyPid : {ownPid, 555}) {
    Rig rig;
    rig.want(true, false);
    const std::string legacy(legacyHostUnitName);
    std::filesystem::create_directories(rig.units());
    std::ofstream(rig.units() / legacy) << "[Service]\n";
    rig.manager->enabled[legacy] = rig.manager->active[legacy] = true;
    rig.manager->pids[legacy] = legacyPid;
    rig.reconcile();
    EXPECT_FALSE(std::filesystem::exists(rig.units() / legacy));
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
