#include "host/desktop/virtual_display_controller.hpp"

#include <array>
#include <atomic>
#include <charconv>

#include "platform/runtime/checked_number.hpp"

namespace tavlo {
namespace {

// What every virtual display is made with: its pixel limits and identity.
constexpr uint32_t kMaxPixels = static_cast<uint32_t>(kMaxDisplayPixels);
constexpr uint32_t kVendorID = 0x5644;
constexpr uint32_t kProductID = 1;
constexpr double kRefreshRate = 60.0;

// Creation: three tries, with these pauses before the second and the third.
constexpr std::array<uint64_t, 2> kCreationPausesUs = {1'200'000, 2'500'000};
// Verified mode change: a pause before a second attempt; polls of the live mode 50 ms apart, 16 of them,
// or 40 then 20 when the width changes (a window server is slower then); a live mode that is missing
// (the display is being reconfigured) extends an attempt by 40 polls once.
constexpr uint64_t kApplyRetryPauseUs = 300'000;
constexpr uint64_t kPollIntervalUs = 50'000;
constexpr int kPolls = 16, kWidthChangePolls = 40, kWidthChangeRetryPolls = 20, kMissingModePolls = 40;
// How many of the server's modes a failed verification lists.
constexpr size_t kListedModes = 6;

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

LogSink& sinkSlot() {
  static LogSink sink;
  return sink;
}

std::atomic<bool> activeForce1xFlag{false};
std::atomic<bool> force1xSuppressedFlag{false};

std::string boolText(bool value) { return value ? "true" : "false"; }

// A double as the log lines have always printed it: the shortest text that reads back the same value,
// with ".0" on whole numbers.
std::string doubleText(double value) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, error == std::errc() ? end : buffer);
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}

std::string wholeNumber(double value) { return std::to_string(truncateSaturating<int64_t>(value)); }

}  // namespace

VirtualDisplayController::VirtualDisplayController(std::shared_ptr<DisplaySystem> system, JsonStore& settings,
                                                   const Clock& clock, Random& random)
    : system_(std::move(system)), settings_(settings), clock_(clock), random_(random) {}

void VirtualDisplayController::setLogSink(LogSink sink) {
  std::lock_guard lock(sinkMutex());
  sinkSlot() = std::move(sink);
}

void VirtualDisplayController::setActiveForce1x(bool on) { activeForce1xFlag.store(on); }
void VirtualDisplayController::setForce1xSuppressed(bool on) { force1xSuppressedFlag.store(on); }

void VirtualDisplayController::log(const std::string& line) {
  LogSink sink;
  {
    std::lock_guard lock(sinkMutex());
    sink = sinkSlot();
  }
  if (sink) {
    sink(line);
  } else {
    SystemLog::write("Tavlo: " + line);
  }
}

bool VirtualDisplayController::isActive() const {
  std::lock_guard lock(mutex_);
  return display_.has_value();
}

int64_t VirtualDisplayController::reModeCount() const {
  std::lock_guard lock(mutex_);
  return reModeCount_;
}

std::string VirtualDisplayController::displayLabel() const {
  std::lock_guard lock(mutex_);
  return displayLabel_;
}

void VirtualDisplayController::setDisplayLabel(std::string label) {
  std::lock_guard lock(mutex_);
  displayLabel_ = std::move(label);
}

std::optional<DisplayId> VirtualDisplayController::displayID() const {
  std::lock_guard lock(mutex_);
  return display_;
}

TargetMode VirtualDisplayController::targetFor(int64_t pixelWidth, int64_t pixelHeight) const {
  const bool force1x = activeForce1xFlag.load() && !force1xSuppressedFlag.load();
  return targetMode(pixelWidth, pixelHeight, force1x);
}

std::optional<DisplayId> VirtualDisplayController::makeDisplay(const PhysicalSizeMm& size) {
  VirtualDisplayDescriptor descriptor;
  descriptor.name = displayLabel();
  descriptor.maxPixelsWide = kMaxPixels;
  descriptor.maxPixelsHigh = kMaxPixels;
  descriptor.widthMm = size.width;
  descriptor.heightMm = size.height;
  descriptor.vendorID = kVendorID;
  descriptor.productID = kProductID;
  descriptor.serialNumber = serialNumber(false);
  return system_->createVirtualDisplay(descriptor);
}

void VirtualDisplayController::adoptPhysicalSize(const PhysicalSizeMm& size) {
  std::lock_guard lock(mutex_);
  mmW_ = size.width;
  mmH_ = size.height;
  reModeCount_ = 0;
}

void VirtualDisplayController::rememberMode(int64_t pixelWidth, int64_t pixelHeight, bool hiDPI) {
  std::lock_guard lock(mutex_);
  lastPxW_ = pixelWidth;
  lastPxH_ = pixelHeight;
  lastHiDPI_ = hiDPI;
}

void VirtualDisplayController::forgetMode() {
  std::lock_guard lock(mutex_);
  lastPxW_ = 0;
  lastPxH_ = 0;
  lastHiDPI_.reset();
}

std::optional<vela::ProvidedDisplay> VirtualDisplayController::createDisplay(int64_t pixelWidth,
                                                                             int64_t pixelHeight) {
  {
    std::lock_guard lock(mutex_);
    enforcementPaused_ = false;
    if (display_) return vela::ProvidedDisplay{*display_, pixelWidth, pixelHeight};
  }
  forgetMode();
  const PhysicalSizeMm size = creationSize(pixelWidth, pixelHeight);
  for (size_t attempt = 0; attempt <= kCreationPausesUs.size(); ++attempt) {
    if (attempt > 0) {
      clock_.sleepFor(kCreationPausesUs[attempt - 1]);
      forgetMode();
    }
    auto id = makeDisplay(size);
    if (!id) continue;
    adoptPhysicalSize(size);
    if (applyModeOn(*id, pixelWidth, pixelHeight)) {
      std::lock_guard lock(mutex_);
      display_ = *id;
      return vela::ProvidedDisplay{*id, pixelWidth, pixelHeight};
    }
    system_->releaseVirtualDisplay(*id);
  }
  std::lock_guard lock(mutex_);
  reModeCount_ = 0;
  return std::nullopt;
}

bool VirtualDisplayController::applyMode(int64_t pixelWidth, int64_t pixelHeight, int64_t, int64_t) {
  auto id = displayID();
  return id && applyModeOn(*id, pixelWidth, pixelHeight);
}

bool VirtualDisplayController::modeRequiresRecreate(int64_t pixelWidth, int64_t pixelHeight, int64_t, int64_t) {
  std::lock_guard lock(mutex_);
  return display_ && !modeSuits(targetFor(pixelWidth, pixelHeight), mmW_);
}

bool VirtualDisplayController::applyModeOn(DisplayId id, int64_t pixelWidth, int64_t pixelHeight) {
  TargetMode mode = targetFor(pixelWidth, pixelHeight);
  {
    std::lock_guard lock(mutex_);
    if (!modeSuits(mode, mmW_)) mode = hiDPITarget(pixelWidth, pixelHeight);
  }
  auto live = system_->currentMode(id);
  if (live && live->width == mode.pw && live->height == mode.ph && live->pixelWidth == mode.pixelWidth() &&
      truncateSaturating<int64_t>(system_->rotationDegrees(id)) == 0) {
    rememberMode(pixelWidth, pixelHeight, mode.hiDPI);
    return true;
  }
  {
    std::lock_guard lock(mutex_);
    if (pixelWidth == lastPxW_ && pixelHeight == lastPxH_ && lastHiDPI_ == mode.hiDPI) return true;
  }
  if (applyVerified(id, mode)) {
    rememberMode(pixelWidth, pixelHeight, mode.hiDPI);
    std::lock_guard lock(mutex_);
    ++reModeCount_;
    return true;
  }
  if (mode.hiDPI) return false;
  SystemLog::write("Tavlo: tryb 1x " + std::to_string(mode.pw) + "x" + std::to_string(mode.ph) +
                   " odrzucony — fallback HiDPI");
  if (!applyVerified(id, hiDPITarget(pixelWidth, pixelHeight))) return false;
  rememberMode(pixelWidth, pixelHeight, true);
  std::lock_guard lock(mutex_);
  ++reModeCount_;
  return true;
}

bool VirtualDisplayController::applyVerified(DisplayId id, const TargetMode& mode) {
  const int64_t expected = mode.pixelWidth();
  auto live = system_->currentMode(id);
  const bool widthChange = live && live->width != mode.pw && mode.pw != mode.ph;
  const int attempts = widthChange ? 2 : 1;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    if (attempt > 1) clock_.sleepFor(kApplyRetryPauseUs);
    if (!system_->applySettings(id, {mode.hiDPI, mode.pw, mode.ph, kRefreshRate})) {
      double mmW = 0, mmH = 0;
      {
        std::lock_guard lock(mutex_);
        mmW = mmW_;
        mmH = mmH_;
      }
      log("🔬 applyVerified: apply() false (chcę " + std::to_string(mode.pw) + "×" + std::to_string(mode.ph) +
          " hiDPI=" + boolText(mode.hiDPI) + ", mm=" + wholeNumber(mmW) + "×" + wholeNumber(mmH) + ")");
      continue;
    }
    int polls = !widthChange ? kPolls : (attempt == 1 ? kWidthChangePolls : kWidthChangeRetryPolls);
    bool extended = false;
    for (int poll = 0; poll < polls; ++poll) {
      clock_.sleepFor(kPollIntervalUs);
      auto now = system_->currentMode(id);
      if (!now) {
        if (!extended) polls += kMissingModePolls;
        extended = true;
        continue;
      }
      if (now->width == mode.pw && now->height == mode.ph && now->pixelWidth == expected) return true;
    }
  }
  logVerifyFailure(id, mode);
  return false;
}

void VirtualDisplayController::logVerifyFailure(DisplayId id, const TargetMode& mode) {
  double mmW = 0, mmH = 0;
  {
    std::lock_guard lock(mutex_);
    mmW = mmW_;
    mmH = mmH_;
  }
  const std::string wanted = "🔬 applyVerified FAIL: chcę " + std::to_string(mode.pw) + "×" +
                             std::to_string(mode.ph) + " px=" + std::to_string(mode.pixelWidth());
  if (auto live = system_->currentMode(id)) {
    log(wanted + " (hiDPI=" + boolText(mode.hiDPI) + ", mm=" + doubleText(mmW) + "×" + doubleText(mmH) +
        ", ppi=" + std::to_string(pointsPerInch(mode.pw, mmW)) + "); WindowServer ma " + std::to_string(live->width) +
        "×" + std::to_string(live->height) + " px=" + std::to_string(live->pixelWidth) + "×" +
        std::to_string(live->pixelHeight));
  } else {
    log(wanted + "; CGDisplayCopyDisplayMode=nil");
  }
  const auto listed = system_->modes(id);
  if (listed.empty()) return;
  std::string line = "🔬 lista trybów WindowServera (" + std::to_string(listed.size()) + "): ";
  for (size_t i = 0; i < listed.size() && i < kListedModes; ++i) {
    if (i) line += ", ";
    line += std::to_string(listed[i].width) + "×" + std::to_string(listed[i].height) + "@" +
            std::to_string(listed[i].pixelWidth) + "px";
  }
  log(line);
}

bool VirtualDisplayController::setAsMainDisplay() {
  auto id = displayID();
  if (!id) return false;
  const DisplayId main = system_->mainDisplay();
  if (main == *id) return true;
  if (main != 0) {
    std::lock_guard lock(mutex_);
    savedMainID_ = main;
  }
  auto configuration = system_->beginConfiguration();
  if (!configuration) return false;
  configuration->setOrigin(*id, 0, 0);
  if (main != 0) {
    const auto bounds = system_->bounds(*id);
    configuration->setOrigin(main, bounds ? bounds->width : 0, 0);
  }
  return configuration->complete();
}

void VirtualDisplayController::restoreMainDisplay() {
  std::optional<DisplayId> saved;
  {
    std::lock_guard lock(mutex_);
    saved = std::exchange(savedMainID_, std::nullopt);
  }
  if (!saved) return;
  if (auto configuration = system_->beginConfiguration()) {
    configuration->setOrigin(*saved, 0, 0);
    configuration->complete();
  }
}

void VirtualDisplayController::destroy() {
  std::optional<DisplayId> id = displayID();
  if (id && mustKeepForRestore(*id)) return;
  restoreMainDisplay();
  {
    std::lock_guard lock(mutex_);
    id = std::exchange(display_, std::nullopt);
    lastPxW_ = 0;
    lastPxH_ = 0;
    lastHiDPI_.reset();
    reModeCount_ = 0;
    enforcementPaused_ = true;
  }
  if (id) system_->releaseVirtualDisplay(*id);
}

}  // namespace tavlo
