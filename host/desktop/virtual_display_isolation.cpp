// The isolation half of VirtualDisplayController: physical displays switched off while a client streams,
// switched off again when they come back, remembered persistently, and switched back on afterwards.
#include <algorithm>

#include "host/desktop/isolated_display_list.hpp"
#include "host/desktop/virtual_display_controller.hpp"

namespace tavlo {
namespace {

// Passes and settling time of a switch: isolation and restore try four times and give the server 350 ms
// each; a re-disable of displays that came back tries three times at 250 ms.
constexpr int kSwitchPasses = 4;
constexpr uint64_t kSwitchSettleUs = 350'000;
constexpr int kEnforcePasses = 3;
constexpr uint64_t kEnforceSettleUs = 250'000;
// Re-disables start at most this long after the previous one ended.
constexpr uint64_t kEnforceThrottleUs = 300'000;
// How often an isolation step that waits for a re-disable in flight looks again.
constexpr uint64_t kIsolationTurnPollUs = 20'000;

bool contains(const std::vector<DisplayId>& ids, DisplayId id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

std::vector<DisplayId> VirtualDisplayController::othersOnline(DisplayId id, bool& virtualOnline) const {
  auto online = system_->onlineDisplays();
  virtualOnline = contains(online, id);
  std::erase(online, id);
  return online;
}

std::string VirtualDisplayController::displayNames(const std::vector<DisplayId>& ids) const {
  // The outputs' names say which screens these are; the numbers are the window server's own.
  std::string text;
  for (size_t i = 0; i < ids.size(); ++i) text += (i ? "," : "") + system_->displayName(ids[i]);
  return text;
}

bool VirtualDisplayController::applyEnabledVerified(const std::vector<DisplayId>& ids, bool enabled, int attempts,
                                                    uint64_t settleUs) {
  const auto wrongState = [&] {
    const auto online = system_->onlineDisplays();
    std::vector<DisplayId> pending;
    for (DisplayId id : ids) {
      if (contains(online, id) != enabled) pending.push_back(id);
    }
    return pending;
  };
  const int passes = std::max(attempts, 1);
  for (int pass = 1; pass <= passes; ++pass) {
    if (auto configuration = system_->beginConfiguration()) {
      for (DisplayId id : ids) configuration->setEnabled(id, enabled);
      configuration->complete();
    }
    clock_.sleepFor(settleUs);
    const auto pending = wrongState();
    if (pending.empty()) return true;
    if (!system_->answering()) {
      // Passes against a server that does not answer only hold up whoever waits (the end of the program).
      log(std::string("🖥 serwer okien nie odpowiada — nie ") + (enabled ? "przywracam" : "odłączam") + " ekranów " +
          joinIDs(pending));
      return false;
    }
    log("🖥 ekrany " + displayNames(pending) + " nadal " + (enabled ? "wyłączone" : "podłączone") + " — ponawiam (" +
        std::to_string(pass) + "/" + std::to_string(attempts) + ")");
  }
  log(std::string("🖥 NIE UDAŁO SIĘ ") + (enabled ? "przywrócić" : "odłączyć") + " ekranów: " +
      displayNames(wrongState()));
  return false;
}

void VirtualDisplayController::takeIsolationTurn() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (!isoBusy_) {
        isoBusy_ = true;
        return;
      }
    }
    clock_.sleepFor(kIsolationTurnPollUs);
  }
}

void VirtualDisplayController::releaseIsolationTurn() {
  std::lock_guard lock(mutex_);
  isoBusy_ = false;
}

void VirtualDisplayController::isolatePhysicalDisplays() {
  auto id = displayID();
  if (!id) return;
  {
    std::lock_guard lock(mutex_);
    enforcementPaused_ = false;
  }
  takeIsolationTurn();
  bool virtualOnline = false;
  const auto others = othersOnline(*id, virtualOnline);
  if (!virtualOnline || others.empty()) {
    releaseIsolationTurn();
    return;
  }
  // Displays an earlier isolation switched off may still be off: they stay on the list, which is stored
  // before anything is switched, so that neither a restore nor a crash forgets them.
  std::vector<DisplayId> ids;
  {
    std::lock_guard lock(mutex_);
    ids = isolatedIDs_;
  }
  appendMissing(ids, readIsolatedDisplayIDs(settings_));
  appendMissing(ids, others);
  std::erase(ids, *id);
  {
    std::lock_guard lock(mutex_);
    isolatedIDs_ = ids;
    restoreFailed_ = false;
  }
  writeIsolatedDisplayIDs(settings_, ids);
  const bool done = applyEnabledVerified(others, false, kSwitchPasses, kSwitchSettleUs);
  releaseIsolationTurn();
  if (!done) log("🖥 izolacja NIEPEŁNA — część ekranów została podłączona (patrz wyżej)");
}

void VirtualDisplayController::enforceIsolation() {
  std::optional<DisplayId> id;
  {
    std::lock_guard lock(mutex_);
    if (enforcementPaused_) return;
    id = display_;
  }
  if (!id) return;
  bool virtualOnline = false;
  const auto others = othersOnline(*id, virtualOnline);
  if (!virtualOnline) return;
  if (others.empty()) {
    bool firstClean = false;
    {
      std::lock_guard lock(mutex_);
      firstClean = !isolationClean_;
      isolationClean_ = true;
    }
    if (firstClean) log("🖥 izolacja: czysto (sam ekran wirtualny)");
    return;
  }
  const uint64_t now = clock_.nowUs();
  std::vector<DisplayId> ids;
  {
    std::lock_guard lock(mutex_);
    isolationClean_ = false;
    if (enforcementPaused_ || isoBusy_ || (isoLastAttemptUs_ != 0 && now - isoLastAttemptUs_ < kEnforceThrottleUs)) {
      return;
    }
    isoBusy_ = true;
    isoLastAttemptUs_ = now;
    ids = isolatedIDs_;
  }
  log("🖥 izolacja: wróciły ekrany " + displayNames(others) + " — wyłączam ponownie");
  appendMissing(ids, readIsolatedDisplayIDs(settings_));
  appendMissing(ids, others);
  {
    std::lock_guard lock(mutex_);
    isolatedIDs_ = ids;
  }
  writeIsolatedDisplayIDs(settings_, ids);
  applyEnabledVerified(others, false, kEnforcePasses, kEnforceSettleUs);
  std::lock_guard lock(mutex_);
  isoBusy_ = false;
  isoLastAttemptUs_ = clock_.nowUs();
}

bool VirtualDisplayController::isolationSettled() const {
  auto id = displayID();
  if (!id) return true;
  const auto online = system_->onlineDisplays();
  return !contains(online, *id) || std::all_of(online.begin(), online.end(), [&](DisplayId d) { return d == *id; });
}

bool VirtualDisplayController::restorePhysicalDisplays() {
  // No re-disable may start from here on: the session that wanted isolation is ending.
  {
    std::lock_guard lock(mutex_);
    enforcementPaused_ = true;
  }
  takeIsolationTurn();
  std::vector<DisplayId> ids;
  {
    std::lock_guard lock(mutex_);
    ids = isolatedIDs_;
  }
  appendMissing(ids, readIsolatedDisplayIDs(settings_));
  if (ids.empty()) {
    releaseIsolationTurn();
    return false;
  }
  const bool done = applyEnabledVerified(ids, true, kSwitchPasses, kSwitchSettleUs);
  {
    std::lock_guard lock(mutex_);
    isolatedIDs_.clear();
    restoreFailed_ = !done;
  }
  // Verified back on: forgotten. Otherwise the whole list stays stored for the next launch to retry.
  if (done) {
    removeIsolatedDisplayIDs(settings_);
  } else {
    writeIsolatedDisplayIDs(settings_, ids);
  }
  releaseIsolationTurn();
  return done;
}

void VirtualDisplayController::recoverIsolationOnLaunch() {
  const auto ids = readIsolatedDisplayIDs(settings_);
  if (!ids.empty()) {
    log("🖥 poprzednia sesja zostawiła wyłączone ekrany " + displayNames(ids) + " — przywracam");
    takeIsolationTurn();
    if (applyEnabledVerified(ids, true, kSwitchPasses, kSwitchSettleUs)) removeIsolatedDisplayIDs(settings_);
    releaseIsolationTurn();
  }
  // After the physical displays are back: a virtual display a crashed run left on is no physical one,
  // and without it the desktop would keep a phantom screen (the last screen on stays, though).
  const auto leftovers = system_->switchOffLeftoverVirtualDisplays();
  if (!leftovers.empty()) {
    log("🖥 poprzednia sesja zostawiła włączony ekran wirtualny " + displayNames(leftovers) + " — wyłączam");
  }
}

bool VirtualDisplayController::mustKeepForRestore(DisplayId id) {
  {
    std::lock_guard lock(mutex_);
    if (!restoreFailed_) return false;
  }
  bool virtualOnline = false;
  if (!othersOnline(id, virtualOnline).empty() || !virtualOnline) {
    // Another display is on: dropping this one still leaves the desktop a screen. The stored list stays
    // for the next launch.
    std::lock_guard lock(mutex_);
    restoreFailed_ = false;
    return false;
  }
  log("🖥 ekran wirtualny zostaje: ekrany " + joinIDs(readIsolatedDisplayIDs(settings_)) +
      " nie wróciły, bez niego nie byłoby żadnego ekranu");
  return true;
}

}  // namespace tavlo
