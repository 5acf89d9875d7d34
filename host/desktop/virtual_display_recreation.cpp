// Re-creating the virtual display for a mode its physical size cannot serve: a display sized for the mode,
// then a new identity when the window server still substitutes the mode, and as the last resort a
// display sized for the client panel's own pixels.
#include <algorithm>
#include <cstdio>
#include <utility>

#include "host/desktop/virtual_display_controller.hpp"

namespace tavlo {
namespace {

// The pause after the old display is released, and before an escalated identity is tried.
constexpr uint64_t kRecreatePauseUs = 1'000'000;
constexpr uint64_t kEscalationPauseUs = 1'500'000;

}  // namespace

uint32_t VirtualDisplayController::serialNumber(bool fresh) {
  {
    std::lock_guard lock(mutex_);
    if (serial_ && !fresh) return *serial_;
  }
  // Uniform in 1...4294967295.
  const auto drawn = static_cast<uint32_t>(random_.below(0xFFFF'FFFFull) + 1);
  std::lock_guard lock(mutex_);
  if (!serial_ || fresh) serial_ = drawn;
  return *serial_;
}

std::optional<vela::ProvidedDisplay> VirtualDisplayController::recreateForMode(int64_t pixelWidth,
                                                                               int64_t pixelHeight,
                                                                               int64_t nativePixelWidth,
                                                                               int64_t nativePixelHeight) {
  const TargetMode mode = targetFor(pixelWidth, pixelHeight);
  const PhysicalSizeMm size = recreationSize(mode);
  std::optional<DisplayId> old;
  {
    std::lock_guard lock(mutex_);
    old = std::exchange(display_, std::nullopt);
    enforcementPaused_ = false;
  }
  if (old) system_->releaseVirtualDisplay(*old);
  forgetMode();
  clock_.sleepFor(kRecreatePauseUs);

  const auto provided = [&](DisplayId id) { return vela::ProvidedDisplay{id, pixelWidth, pixelHeight}; };
  const auto install = [&](DisplayId id, const PhysicalSizeMm& mm) {
    adoptPhysicalSize(mm);
    std::lock_guard lock(mutex_);
    display_ = id;
  };
  const auto settled = [&](DisplayId id) {
    rememberMode(pixelWidth, pixelHeight, mode.hiDPI);
    std::lock_guard lock(mutex_);
    reModeCount_ = 1;
    return provided(id);
  };
  const std::string modeText = std::to_string(mode.pw) + "x" + std::to_string(mode.ph) + " (hiDPI=" +
                               std::to_string(mode.hiDPI ? 1 : 0) + ")";

  auto refused = makeDisplay(size);
  if (!refused) {
    // Last resort: a display sized for the client panel's own pixels.
    const int64_t nativeW = std::max<int64_t>(nativePixelWidth, 2), nativeH = std::max<int64_t>(nativePixelHeight, 2);
    const PhysicalSizeMm native = nativeSize(nativeW, nativeH);
    auto id = makeDisplay(native);
    if (!id) return std::nullopt;
    install(*id, native);
    applyModeOn(*id, nativeW, nativeH);
    return provided(*id);
  }
  install(*refused, size);
  if (applyVerified(*refused, mode)) return settled(*refused);

  // The server substitutes the mode although the size suits it: it remembers this display's identity.
  serialNumber(true);
  log("♻️ eskalacja: nowa tożsamość ekranu (serial) — tryb podstawiany mimo recreate");
  {
    std::lock_guard lock(mutex_);
    display_.reset();
  }
  clock_.sleepFor(kEscalationPauseUs);
  if (auto fresh = makeDisplay(size)) {
    system_->releaseVirtualDisplay(*refused);
    install(*fresh, size);
    if (applyVerified(*fresh, mode)) return settled(*fresh);
    SystemLog::write("Tavlo: recreateForMode — tryb " + modeText + " odrzucony mimo nowej tożsamości → degradacja HiDPI");
    applyModeOn(*fresh, pixelWidth, pixelHeight);
    return provided(*fresh);
  }
  {
    std::lock_guard lock(mutex_);
    display_ = *refused;
  }
  char mm[32];
  std::snprintf(mm, sizeof mm, "%.0f", size.width);
  SystemLog::write("Tavlo: recreateForMode — tryb " + modeText + " odrzucony mimo mm=" + mm + " → degradacja HiDPI");
  applyModeOn(*refused, pixelWidth, pixelHeight);
  return provided(*refused);
}

}  // namespace tavlo
