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

}  // namespace

void HostController::setScale(double value) {
  // A Mac client sets its own scale.
  if (isMacClient(clientPlatform.get()) || !std::isfinite(value)) return;
  const double v = std::clamp(value, ControllerSettings::minScale, ControllerSettings::maxScale);
  if (std::fabs(v - scale.get()) <= scaleEpsilon) return;
  scale.set(v);
  deps_.settings.set(SettingsKey::scale, v);
  if (currentDeviceKey_) {
    std::optional<JsonValue> stored = deps_.settings.getValue(SettingsKey::scaleByDevice);
    JsonValue byDevice = JsonValue::object();
    // Only numbers are kept: a map that is not String to Double counts as empty.
    if (stored && stored->is_object() &&
        std::all_of(stored->begin(), stored->end(), [](const JsonValue& e) { return e.is_number(); })) {
      byDevice = *stored;
    }
    byDevice[*currentDeviceKey_] = v;
    deps_.settings.set(SettingsKey::scaleByDevice, std::move(byDevice));
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

}  // namespace tavlo
