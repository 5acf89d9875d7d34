#pragma once
// What the desktop session's bus signals mean for the screen's lock, apart from the bus itself: which
// signals are believed, and the lock state they add up to. A signal addressed to this process's own
// connection reaches it past every match rule, so any local account could send one; each is believed
// only from the unique name that owns the service it claims to come from (logind on the system bus, the
// screen saver on the session bus), and logind's session signals only for this user's own session.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavlo {

enum class DesktopBus { system, session };

// One signal as the bus delivered it.
struct DesktopSignal {
  DesktopSignal(DesktopBus bus, std::string sender, std::string path, std::string interface, std::string member)
      : bus(bus), sender(std::move(sender)), path(std::move(path)), interface(std::move(interface)),
        member(std::move(member)) {}

  DesktopBus bus = DesktopBus::system;
  // The unique name the bus daemon stamped on it (the daemon's own messages carry its well-known name).
  std::string sender;
  std::string path;
  std::string interface;
  std::string member;
  // The leading String arguments (NameOwnerChanged's name, old and new owner; PropertiesChanged's
  // interface).
  std::vector<std::string> strings;
  // The first Bool argument (ActiveChanged, PrepareForSleep); for PropertiesChanged, LockedHint's new
  // value when it is among the changes.
  std::optional<bool> flag;
};

enum class ScreenChange { none, locked, unlocked, asleep };

class ScreenLockTracker {
 public:
  static constexpr const char* logindName = "org.freedesktop.login1";
  static constexpr const char* logindPath = "/org/freedesktop/login1";
  static constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
  static constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
  static constexpr const char* screenSaverName = "org.freedesktop.ScreenSaver";
  static constexpr const char* screenSaverPath = "/org/freedesktop/ScreenSaver";
  static constexpr const char* screenSaverInterface = "org.freedesktop.ScreenSaver";

  // logind's object of this user's own session; empty (logind did not say): any session's counts.
  void setOwnSession(std::string path) { ownSession_ = std::move(path); }
  // The unique name that owns logind (system bus) or the screen saver (session bus); empty: none.
  void setOwner(DesktopBus bus, std::string uniqueName);
  // The state read at start: the session's LockedHint, the screen saver's GetActive.
  void setSessionLocked(bool locked) { sessionLocked_ = locked; }
  void setSaverActive(bool active) { saverActive_ = active; }

  // Locked while logind's session or the screen saver says so.
  bool locked() const { return sessionLocked_ || saverActive_; }

  // Applies one signal; what changed for the host: the lock state turning over, or the machine about
  // to sleep. A signal of anyone but the service's owner changes nothing.
  ScreenChange take(const DesktopSignal& signal);

 private:
  bool ofOwnSession(const std::string& path) const;
  const std::string& owner(DesktopBus bus) const { return bus == DesktopBus::system ? logindOwner_ : saverOwner_; }

  std::string ownSession_;
  std::string logindOwner_;
  std::string saverOwner_;
  bool sessionLocked_ = false;
  bool saverActive_ = false;
};

}  // namespace tavlo
