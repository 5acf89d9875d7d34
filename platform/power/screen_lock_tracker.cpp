#include "platform/power/screen_lock_tracker.hpp"

namespace tavlo {
namespace {

// The bus daemon's own name: it stamps it on its messages, and no connection can send under it.
constexpr const char* busDriver = "org.freedesktop.DBus";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* sessionObjectPrefix = "/org/freedesktop/login1/session/";

}  // namespace

void ScreenLockTracker::setOwner(DesktopBus bus, std::string uniqueName) {
  (bus == DesktopBus::system ? logindOwner_ : saverOwner_) = std::move(uniqueName);
}

bool ScreenLockTracker::ofOwnSession(const std::string& path) const {
  if (ownSession_.empty()) return path.starts_with(sessionObjectPrefix);
  return path == ownSession_;
}

ScreenChange ScreenLockTracker::take(const DesktopSignal& signal) {
  if (signal.sender == busDriver && signal.interface == busDriver && signal.member == "NameOwnerChanged") {
    const char* service = signal.bus == DesktopBus::system ? logindName : screenSaverName;
    if (signal.strings.size() == 3 && signal.strings[0] == service) setOwner(signal.bus, signal.strings[2]);
    return ScreenChange::none;
  }
  if (signal.sender.empty() || signal.sender != owner(signal.bus)) return ScreenChange::none;

  const bool wasLocked = locked();
  if (signal.bus == DesktopBus::system) {
    if (signal.interface == sessionInterface && (signal.member == "Lock" || signal.member == "Unlock") &&
        ofOwnSession(signal.path)) {
      sessionLocked_ = signal.member == "Lock";
    } else if (signal.interface == propertiesInterface && signal.member == "PropertiesChanged" &&
               ofOwnSession(signal.path) && !signal.strings.empty() && signal.strings[0] == sessionInterface &&
               signal.flag) {
      sessionLocked_ = *signal.flag;
    } else if (signal.interface == managerInterface && signal.member == "PrepareForSleep" &&
               signal.path == logindPath) {
      // PrepareForSleep(false) is the machine waking up again.
      return signal.flag.value_or(false) ? ScreenChange::asleep : ScreenChange::none;
    }
  } else if (signal.interface == screenSaverInterface && signal.member == "ActiveChanged" && signal.flag) {
    saverActive_ = *signal.flag;
  }
  if (locked() == wasLocked) return ScreenChange::none;
  return locked() ? ScreenChange::locked : ScreenChange::unlocked;
}

}  // namespace tavlo
