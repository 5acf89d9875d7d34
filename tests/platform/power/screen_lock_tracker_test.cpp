// Which desktop signals are believed and what they add up to, one row per signal.
#include "platform/power/screen_lock_tracker.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tavlo {
namespace {

constexpr const char* logind = ":1.10";
constexpr const char* saver = ":1.20";
constexpr const char* stranger = ":1.99";
constexpr const char* ownSession = "/org/freedesktop/login1/session/_31";
constexpr const char* otherSession = "/org/freedesktop/login1/session/_32";

DesktopSignal sessionSignal(const char* sender, const char* path, const char* member) {
  return DesktopSignal(DesktopBus::system, sender, path, ScreenLockTracker::sessionInterface, member);
}
DesktopSignal lockedHint(const char* sender, const char* path, bool locked) {
  DesktopSignal signal = DesktopSignal(DesktopBus::system, sender, path, "org.freedesktop.DBus.Properties", "PropertiesChanged");
  signal.strings = {ScreenLockTracker::sessionInterface};
  signal.flag = locked;
  return signal;
}
DesktopSignal sleeping(const char* sender, bool flag, DesktopBus bus = DesktopBus::system) {
  DesktopSignal signal =
      DesktopSignal(bus, sender, ScreenLockTracker::logindPath, ScreenLockTracker::managerInterface, "PrepareForSleep");
  signal.flag = flag;
  return signal;
}
DesktopSignal saverActive(const char* sender, bool active) {
  DesktopSignal signal = DesktopSignal(DesktopBus::session, sender, ScreenLockTracker::screenSaverPath,
                                  ScreenLockTracker::screenSaverInterface, "ActiveChanged");
  signal.flag = active;
  return signal;
}
DesktopSignal ownerChange(DesktopBus bus, const char* sender, const char* service, const char* newOwner) {
  DesktopSignal signal = DesktopSignal(bus, sender, "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged");
  signal.strings = {service, "", newOwner};
  return signal;
}

struct Row {
  const char* why;
  DesktopSignal signal;
  ScreenChange change;
  bool lockedAfter;
};

TEST(ScreenLockTracker, BelievesOnlyTheOwnersSignalsAndReportsTurnsOfTheLockState) {
  ScreenLockTracker tracker;
  tracker.setOwnSession(ownSession);
  tracker.setOwner(DesktopBus::system, logind);
  tracker.setOwner(DesktopBus::session, saver);
  const std::vector<Row> rows{
      {"another account's Lock", sessionSignal(stranger, ownSession, "Lock"), ScreenChange::none, false},
      {"another session's Lock", sessionSignal(logind, otherSession, "Lock"), ScreenChange::none, false},
      {"this session's Lock", sessionSignal(logind, ownSession, "Lock"), ScreenChange::locked, true},
      {"a second Lock changes nothing", sessionSignal(logind, ownSession, "Lock"), ScreenChange::none, true},
      {"another account's Unlock", sessionSignal(stranger, ownSession, "Unlock"), ScreenChange::none, true},
      {"this session's Unlock", sessionSignal(logind, ownSession, "Unlock"), ScreenChange::unlocked, false},
      {"LockedHint set", lockedHint(logind, ownSession, true), ScreenChange::locked, true},
      {"another session's LockedHint cleared", lockedHint(logind, otherSession, false), ScreenChange::none, true},
      {"LockedHint cleared", lockedHint(logind, ownSession, false), ScreenChange::unlocked, false},
      {"another account's sleep", sleeping(stranger, true), ScreenChange::none, false},
      {"waking up", sleeping(logind, false), ScreenChange::none, false},
      {"going to sleep", sleeping(logind, true), ScreenChange::asleep, false},
      {"logind's sleep on the session bus", sleeping(logind, true, DesktopBus::session), ScreenChange::none, false},
      {"another account's screen saver", saverActive(stranger, true), ScreenChange::none, false},
      {"the screen saver starts", saverActive(saver, true), ScreenChange::locked, true},
      {"the session unlocks under the saver", sessionSignal(logind, ownSession, "Unlock"), ScreenChange::none, true},
      {"the screen saver ends", saverActive(saver, false), ScreenChange::unlocked, false},
      {"an owner change claimed by another account",
       ownerChange(DesktopBus::system, stranger, ScreenLockTracker::logindName, stranger), ScreenChange::none, false},
      {"so its Lock still counts for nothing", sessionSignal(stranger, ownSession, "Lock"), ScreenChange::none, false},
      {"logind changes hands", ownerChange(DesktopBus::system, "org.freedesktop.DBus", ScreenLockTracker::logindName, ":1.11"),
       ScreenChange::none, false},
      {"the old owner is believed no more", sessionSignal(logind, ownSession, "Lock"), ScreenChange::none, false},
      {"the new one is", sessionSignal(":1.11", ownSession, "Lock"), ScreenChange::locked, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(tracker.take(row.signal), row.change) << row.why;
    EXPECT_EQ(tracker.locked(), row.lockedAfter) << row.why;
  }
}

TEST(ScreenLockTracker, WithoutItsOwnSessionAnySessionCountsAndWithoutAnOwnerNothingDoes) {
  ScreenLockTracker tracker;
  EXPECT_EQ(tracker.take(sessionSignal("", otherSession, "Lock")), ScreenChange::none) << "no owner known";
  tracker.setOwner(DesktopBus::system, logind);
  EXPECT_EQ(tracker.take(sessionSignal(logind, otherSession, "Lock")), ScreenChange::locked);
  EXPECT_EQ(tracker.take(sessionSignal(logind, "/org/freedesktop/login1/seat/seat0", "Unlock")), ScreenChange::none)
      << "not a session's object";
}

}  // namespace
}  // namespace tavlo
