// The stream settings that a session's host shortcuts reach: the logical display scale (with its
// per-device memory), a scale chosen by shortcut and its commit, and the diagnostics toggle.
#include <algorithm>
#include <cmath>

#include "host/controller/controller_settings.hpp"
#include "host/controller/device_preferences.hpp"
#include "host/controller/host_controller.hpp"

namespace tavlo {

namespace {

// Scale changes smaller than this are no change (and write nothing).
constexpr double scaleEpsilon = 0.0001;

bool isMacClient(const std::optional<vela::Platform>& platform) { return platform == vela::Platform::mac; }

// The fixed keyframe interval the user interface may apply (the start-up reading allows 0.2 s at least).
constexpr double minKfFixedSecApplied = 0.1;

// The per-device map under `key` with the device's entry set; a stored map holding anything but values
// of the entry's type counts as empty.
template <typename IsType>
JsonValue deviceMapWith(const JsonStore& store, const char* key, const std::string& device, JsonValue entry,
                        IsType isType) {
  std::optional<JsonValue> stored = store.getValue(key);
  JsonValue byDevice = JsonValue::object();
  if (stored && stored->is_object() && std::all_of(stored->begin(), stored->end(), isType)) byDevice = *stored;
  byDevice[device] = std::move(entry);
  return byDevice;
}

}  // namespace

void HostController::setScale(double value) {
  // A Mac client sets its own scale.
  if (isMacClient(clientPlatform.get()) || !std::isfinite(value)) return;
  const double v = std::clamp(value, ControllerSettings::minScale, ControllerSettings::maxScale);
  if (std::fabs(v - scale.get()) <= scaleEpsilon) return;
  scale.set(v);
  deps_.settings.set(SettingsKey::scale, v);
  if (currentDeviceKey_) {
    deps_.settings.set(SettingsKey::scaleByDevice,
                       deviceMapWith(deps_.settings, SettingsKey::scaleByDevice, *currentDeviceKey_, JsonValue(v),
                                     [](const JsonValue& e) { return e.is_number(); }));
  }
  if (session_) session_->setScale(v);
}

void HostController::commitScale() {
  scaleApplyTimer_.cancel();
  if (!scaleHudValue.get()) return;
  setScale(pendingScaleTarget_);
  scaleHudValue.set(std::nullopt);
}

void HostController::handleHostAction(uint8_t action, bool down) {
  if (action == diagToggleAction) {
    if (!down) return;
    const uint64_t now = deps_.scheduler.clock().nowUs();
    if (lastDiagToggleUs_ && now - *lastDiagToggleUs_ <= diagToggleDebounceUs) return;
    lastDiagToggleUs_ = now;
    if (deps_.seams.toggleDiagnosticsPanel) deps_.seams.toggleDiagnosticsPanel();
    return;
  }
  if (action != scaleUpAction && action != scaleDownAction) return;
  if (isMacClient(clientPlatform.get()) || !down) return;
  const double base = scaleHudValue.get().value_or(scale.get());
  const double stepped = action == scaleUpAction ? base + scaleShortcutStep : base - scaleShortcutStep;
  // std::round rounds halves away from zero.
  const double target = std::clamp(std::round(stepped / scaleShortcutStep) * scaleShortcutStep,
                                   ControllerSettings::minScale, ControllerSettings::maxScale);
  pendingScaleTarget_ = target;
  scaleHudValue.set(target);
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  auto id = deps_.scheduler.after(scaleApplyDelayUs, [main, weak] {
    onMain(*main, weak, [](HostController& self) { self.commitScale(); });
  });
  scaleApplyTimer_ = ScopedTimer(deps_.scheduler, id);  // replaces (cancels) a pending commit
}

void HostController::applyKeyframePolicy() {
  double fixedSec = kfFixedSec.get();
  if (!std::isfinite(fixedSec)) fixedSec = ControllerSettings{}.kfFixedSec;
  fixedSec = std::clamp(fixedSec, minKfFixedSecApplied, ControllerSettings::maxKfFixedSec);
  kfFixedSec.set(fixedSec);
  deps_.settings.set(SettingsKey::kfAdaptive, kfAdaptive.get());
  deps_.settings.set(SettingsKey::kfFixedSec, fixedSec);
  if (session_) session_->setKeyframePolicy(kfAdaptive.get(), fixedSec);
}

void HostController::setShortcut(uint8_t action, vela::HostShortcut shortcut) {
  const char* key = nullptr;
  Published<vela::HostShortcut>* field = nullptr;
  switch (action) {
    case scaleUpAction: key = SettingsKey::shortcutScaleUp, field = &scaleUpShortcut; break;
    case scaleDownAction: key = SettingsKey::shortcutScaleDown, field = &scaleDownShortcut; break;
    case diagToggleAction: key = SettingsKey::shortcutDiag, field = &diagShortcut; break;
    default: return;
  }
  field->set(shortcut);
  deps_.settings.set(key, ControllerSettings::packShortcut(shortcut));
  if (session_) session_->setHostShortcuts(scaleUpShortcut.get(), scaleDownShortcut.get(), diagShortcut.get());
}

void HostController::setForce1x(bool on) {
  force1x.set(on);
  if (currentDeviceKey_) {
    deps_.settings.set(SettingsKey::force1xByDevice,
                       deviceMapWith(deps_.settings, SettingsKey::force1xByDevice, *currentDeviceKey_, JsonValue(on),
                                     [](const JsonValue& e) { return e.is_boolean(); }));
  }
  if (deps_.seams.setActiveForce1x) deps_.seams.setActiveForce1x(on);
  deps_.settings.set(SettingsKey::force1x, on);
  if (session_) session_->setForce1x(on);
}

void HostController::setBufferMs(int64_t ms) {
  const int64_t v = std::clamp<int64_t>(ms, 0, ControllerSettings::maxBufferMs);
  bufferMs.set(v);
  deps_.settings.set(SettingsKey::bufferMs, v);
  if (session_) session_->sendStreamBuffer(v);
}

void HostController::setMaxBandwidthKbps(int64_t kbps) {
  const int64_t v = std::max<int64_t>(kbps, 0);
  maxBandwidthKbps.set(v);
  deps_.settings.set(SettingsKey::wireCapKbps, v);
  if (session_) session_->setWireCap(v);
}

}  // namespace tavlo
