// The screen-lock watch against a logind and a screen saver of our own, each on a private bus: the
// lock state it reads at start and follows, a lock of another session (none of this host's business),
// signals that anyone but the service's owner sends straight to the watcher's connection, the idle
// hint it clears when told of user activity, and the idle inhibitor it holds while told to.
#include "platform/power/logind_power.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/testkit/fake_desktop_bus.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using testkit::FakeLogind;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A system bus with logind and a session bus with the screen saver, and the watcher on both once it has
// read the lock state. libdbus reads the buses' addresses once per process: the buses serve every test
// of the suite, each with services of its own.
class ScreenStateWatcherOnBuses : public ::testing::Test {
 protected:
  struct Buses {
    testkit::TempDir dir;
    testkit::PrivateBus system, session;
    std::string failure;
  };
  static void SetUpTestSuite() {
    buses = new Buses;
    if (!buses->system.start(buses->dir.path(), "system_bus")) buses->failure = buses->system.failureText();
    if (!buses->session.start(buses->dir.path(), "session_bus")) buses->failure += buses->session.failureText();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", buses->system.address().c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", buses->session.address().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete buses;
    buses = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(buses->failure.empty()) << buses->failure; }
  void TearDown() override {
    watcher.reset();
    std::lock_guard guard(linesMutex);
    EXPECT_TRUE(lines.empty()) << lines.front();
  }

  // Starts the services (with the lock state given) and the watcher; true once it has read the state.
  bool startWatching(bool lockedHint = false, bool saverActive = false) {
    logind = std::make_unique<FakeLogind>(lockedHint);
    saver = std::make_unique<testkit::FakeScreenSaver>(saverActive);
    if (!logind->start(buses->system.address()) || !saver->start(buses->session.address())) return false;
    watcher = ScreenStateWatcher::start({.locked = [this] { ++locked; },
                                         .unlocked = [this] { ++unlocked; },
                                         .asleep = [this] { ++asleep; },
                                         .stateRead = [this] { ++stateRead; }},
                                        [this](const std::string& line) {
                                          std::lock_guard guard(linesMutex);
                                          lines.push_back(line);
                                        });
    return eventually([this] { return stateRead.load() == 1; });
  }
  // The watcher's connections, by what it asked of each service.
  std::string watcherOnSystemBus() const { return firstOf(logind->callers()); }
  std::string watcherOnSessionBus() const { return firstOf(saver->callers()); }
  static std::string firstOf(const std::vector<std::string>& callers) { return callers.empty() ? "" : callers.front(); }
  // True once the watcher has read all that `peer` sent it before.
  bool watcherHasRead(testkit::BusPeer& peer, const std::string& watcherName) { return peer.ping(watcherName); }

  static inline Buses* buses = nullptr;
  std::unique_ptr<FakeLogind> logind;
  std::unique_ptr<testkit::FakeScreenSaver> saver;
  std::unique_ptr<ScreenStateWatcher> watcher;
  std::atomic<int> locked{0}, unlocked{0}, asleep{0}, stateRead{0};
  std::mutex linesMutex;
  std::vector<std::string> lines;
};

TEST_F(ScreenStateWatcherOnBuses, OnlyALockOfTheHostsOwnSessionCounts) {
  ASSERT_TRUE(startWatching());
  EXPECT_FALSE(watcher->locked());
  logind->sessionSignal(FakeLogind::otherSession, "Lock");
  ASSERT_TRUE(watcherHasRead(*logind, watcherOnSystemBus()));
  EXPECT_EQ(locked.load(), 0) << "another session's lock does not count";
  EXPECT_FALSE(watcher->locked());

  logind->sessionSignal(FakeLogind::ownSession, "Lock");
  ASSERT_TRUE(eventually([&] { return locked.load() == 1; }));
  EXPECT_TRUE(watcher->locked());
  logind->sessionSignal(FakeLogind::ownSession, "Unlock");
  ASSERT_TRUE(eventually([&] { return unlocked.load() == 1; }));
  EXPECT_FALSE(watcher->locked());
  logind->prepareForSleep(false);  // waking up
  logind->prepareForSleep(true);
  ASSERT_TRUE(eventually([&] { return asleep.load() == 1; }));
  ASSERT_TRUE(watcherHasRead(*logind, watcherOnSystemBus()));
  EXPECT_EQ(asleep.load(), 1);
}

// Any local account can address a signal to the watcher's own connection, past its match rules: only
// the services' owners are believed, and a bus daemon's report of a new owner only from the daemon.
TEST_F(ScreenStateWatcherOnBuses, SignalsOfAnyoneButTheServicesOwnerAreIgnored) {
  ASSERT_TRUE(startWatching());
  testkit::BusPeer systemSpoofer, sessionSpoofer;
  ASSERT_TRUE(systemSpoofer.connect(buses->system.address()));
  ASSERT_TRUE(sessionSpoofer.connect(buses->session.address()));
  const std::string onSystem = watcherOnSystemBus(), onSession = watcherOnSessionBus();

  systemSpoofer.signal("/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                       [&](DBusMessage* message) {
                         const char* name = "org.freedesktop.login1";
                         const char* before = logind->uniqueName().c_str();
                         const char* after = systemSpoofer.uniqueName().c_str();
                         dbus_message_append_args(message, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &before,
                                                  DBUS_TYPE_STRING, &after, DBUS_TYPE_INVALID);
                       },
                       onSystem);
  systemSpoofer.signal(FakeLogind::ownSession, "org.freedesktop.login1.Session", "Lock", {}, onSystem);
  systemSpoofer.signal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
                       testkit::boolArgument(true), onSystem);
  sessionSpoofer.signal("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged",
                        testkit::boolArgument(true), onSession);
  ASSERT_TRUE(watcherHasRead(systemSpoofer, onSystem));
  ASSERT_TRUE(watcherHasRead(sessionSpoofer, onSession));
  EXPECT_EQ(locked.load(), 0);
  EXPECT_EQ(asleep.load(), 0);
  EXPECT_FALSE(watcher->locked());

  // The owners' own signals still count.
  logind->prepareForSleep(true);
  ASSERT_TRUE(eventually([&] { return asleep.load() == 1; }));
  saver->setActive(true);
  ASSERT_TRUE(eventually([&] { return locked.load() == 1; }));
  EXPECT_TRUE(watcher->locked());
}

TEST_F(ScreenStateWatcherOnBuses, ReadsTheLockStateAtStartAndFollowsTheSessionsLockedHint) {
  ASSERT_TRUE(startWatching(true, false));
  EXPECT_TRUE(watcher->locked()) << "the session's LockedHint";
  logind->setLockedHint(false);
  ASSERT_TRUE(eventually([&] { return unlocked.load() == 1; }));
  EXPECT_FALSE(watcher->locked());
  logind->setLockedHint(true);
  ASSERT_TRUE(eventually([&] { return locked.load() == 1; }));
  EXPECT_TRUE(watcher->locked());
}

TEST_F(ScreenStateWatcherOnBuses, AnActiveScreenSaverAtStartIsALockedScreen) {
  ASSERT_TRUE(startWatching(false, true));
  EXPECT_TRUE(watcher->locked());
  saver->setActive(false);
  ASSERT_TRUE(eventually([&] { return unlocked.load() == 1; }));
  EXPECT_FALSE(watcher->locked());
}

TEST_F(ScreenStateWatcherOnBuses, UserActivityClearsTheSessionsIdleHint) {
  ASSERT_TRUE(startWatching());
  watcher->declareUserActive();
  EXPECT_TRUE(eventually([&] { return logind->idleHints() == std::vector<bool>{false}; }));
}

TEST_F(ScreenStateWatcherOnBuses, HoldsLogindsIdleInhibitorUntilToldToLetItGo) {
  ASSERT_TRUE(startWatching());
  watcher->holdDisplaysAwake(true);
  ASSERT_TRUE(eventually([&] { return logind->inhibitorHeld(); }));
  EXPECT_EQ(logind->lastInhibit(), "idle Tavlo klient Tavlo połączony block");
  watcher->holdDisplaysAwake(false);
  EXPECT_TRUE(eventually([&] { return !logind->inhibitorHeld(); }));
}

}  // namespace
}  // namespace tavlo
