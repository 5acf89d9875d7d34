#include "platform/display/sim_window_server.hpp"

#include <algorithm>

namespace tavlo {
namespace {

// The densities the simulated server accepts a mode at, as a window server picks the modes it offers
// from a display's physical size: 1x modes at 45–115 pixels per inch, landscape HiDPI modes at 58–170
// points per inch, portrait HiDPI modes only on displays 178–212 mm wide.
constexpr double kMmPerInch = 25.4;
constexpr double kMin1xPpi = 45, kMax1xPpi = 115;
constexpr double kMinHiDPIPpi = 58, kMaxHiDPIPpi = 170;
constexpr double kMinPortraitMm = 178, kMaxPortraitMm = 212;

bool offered(const VirtualDisplaySettings& s, double widthMm) {
  if (widthMm <= 0) return false;
  const double ppi = static_cast<double>(s.width) / (widthMm / kMmPerInch);
  if (!s.hiDPI) return ppi >= kMin1xPpi && ppi <= kMax1xPpi;
  if (s.width >= s.height) return ppi >= kMinHiDPIPpi && ppi <= kMaxHiDPIPpi;
  return widthMm >= kMinPortraitMm && widthMm <= kMaxPortraitMm;
}

DisplayMode modeOf(int64_t width, int64_t height, int64_t scale, double refreshRate) {
  return DisplayMode{width, height, width * scale, height * scale, refreshRate};
}

}  // namespace

class SimWindowServer::Configuration final : public DisplayConfiguration {
 public:
  explicit Configuration(SimWindowServer& server) : server_(server) {}
  void setOrigin(DisplayId id, int64_t x, int64_t y) override { changes_.push_back({id, true, x, y, false}); }
  void setEnabled(DisplayId id, bool enabled) override { changes_.push_back({id, false, 0, 0, enabled}); }
  bool complete() override { return server_.completeConfiguration(changes_); }

 private:
  SimWindowServer& server_;
  std::vector<Change> changes_;
};

SimWindowServer::Display* SimWindowServer::findLocked(DisplayId id) {
  for (auto& d : displays_) {
    if (d.id == id) return &d;
  }
  return nullptr;
}

const SimWindowServer::Display* SimWindowServer::findLocked(DisplayId id) const {
  return const_cast<SimWindowServer*>(this)->findLocked(id);
}

void SimWindowServer::settleLocked(Display& display) {
  if (display.pending && clock_.nowUs() >= display.pendingVisibleAtUs) {
    display.live = display.pending;
    display.pending.reset();
  }
}

int64_t SimWindowServer::rightEdgeLocked() const {
  int64_t edge = 0;
  for (const auto& d : displays_) {
    if (d.online && d.live) edge = std::max(edge, d.x + d.live->width);
  }
  return edge;
}

DisplayId SimWindowServer::addPhysicalDisplay(int64_t pixelWidth, int64_t pixelHeight) {
  std::lock_guard lock(mutex_);
  Display d;
  d.id = nextPhysicalId_++;
  d.x = rightEdgeLocked();
  d.live = modeOf(pixelWidth, pixelHeight, 1, 60.0);
  displays_.push_back(d);
  return d.id;
}

void SimWindowServer::setOnline(DisplayId id, bool online) {
  std::lock_guard lock(mutex_);
  if (auto* d = findLocked(id)) d->online = online;
}

void SimWindowServer::refuseSwitchOff(DisplayId id, int times) {
  std::lock_guard lock(mutex_);
  if (auto* d = findLocked(id)) d->refuseOff = times;
}

void SimWindowServer::refuseSwitchOn(DisplayId id, int times) {
  std::lock_guard lock(mutex_);
  if (auto* d = findLocked(id)) d->refuseOn = times;
}

void SimWindowServer::failCreations(int times) {
  std::lock_guard lock(mutex_);
  failCreations_ = times;
}

void SimWindowServer::setModeDelay(uint64_t visibleAfterUs, uint64_t missingForUs) {
  std::lock_guard lock(mutex_);
  visibleAfterUs_ = visibleAfterUs;
  missingForUs_ = missingForUs;
}

void SimWindowServer::setSubstitution(Substitution substitution) {
  std::lock_guard lock(mutex_);
  substitution_ = substitution;
}

void SimWindowServer::refuseModesOnSerial(uint32_t serial) {
  std::lock_guard lock(mutex_);
  refusedSerials_.push_back(serial);
}

void SimWindowServer::setApplyRefused(bool on) {
  std::lock_guard lock(mutex_);
  applyRefused_ = on;
}

void SimWindowServer::setConfigurationRefused(bool on) {
  std::lock_guard lock(mutex_);
  configurationRefused_ = on;
}

void SimWindowServer::setOnConfiguration(std::function<void()> observer) {
  std::lock_guard lock(mutex_);
  onConfiguration_ = std::move(observer);
}

int SimWindowServer::createdCount() const {
  std::lock_guard lock(mutex_);
  return created_;
}

int SimWindowServer::releasedCount() const {
  std::lock_guard lock(mutex_);
  return released_;
}

int SimWindowServer::applyCount() const {
  std::lock_guard lock(mutex_);
  return applies_;
}

int SimWindowServer::configurationCount() const {
  std::lock_guard lock(mutex_);
  return configurations_;
}

int SimWindowServer::switchOffRequests(DisplayId id) const {
  std::lock_guard lock(mutex_);
  const auto* d = findLocked(id);
  return d ? d->offRequests : 0;
}

int SimWindowServer::switchOnRequests(DisplayId id) const {
  std::lock_guard lock(mutex_);
  const auto* d = findLocked(id);
  return d ? d->onRequests : 0;
}

bool SimWindowServer::exists(DisplayId id) const {
  std::lock_guard lock(mutex_);
  return findLocked(id) != nullptr;
}

bool SimWindowServer::isOnline(DisplayId id) const {
  std::lock_guard lock(mutex_);
  const auto* d = findLocked(id);
  return d && d->online;
}

std::optional<VirtualDisplayDescriptor> SimWindowServer::descriptor(DisplayId id) const {
  std::lock_guard lock(mutex_);
  const auto* d = findLocked(id);
  if (!d || !d->isVirtual) return std::nullopt;
  return d->descriptor;
}

std::optional<DisplayId> SimWindowServer::createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) {
  std::lock_guard lock(mutex_);
  if (failCreations_ != 0) {
    if (failCreations_ > 0) --failCreations_;
    return std::nullopt;
  }
  Display d;
  d.id = nextVirtualId_++;
  d.isVirtual = true;
  d.descriptor = descriptor;
  d.x = rightEdgeLocked();
  displays_.push_back(d);
  ++created_;
  return d.id;
}

void SimWindowServer::releaseVirtualDisplay(DisplayId id) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(displays_.begin(), displays_.end(), [&](const Display& d) { return d.id == id; });
  if (it == displays_.end() || !it->isVirtual) return;
  displays_.erase(it);
  ++released_;
}

bool SimWindowServer::applySettings(DisplayId id, const VirtualDisplaySettings& settings) {
  std::lock_guard lock(mutex_);
  auto* d = findLocked(id);
  if (!d || !d->isVirtual || applyRefused_ || settings.width < 1 || settings.height < 1) return false;
  ++applies_;
  const int64_t scale = settings.hiDPI ? 2 : 1;
  if (settings.width * scale > d->descriptor.maxPixelsWide || settings.height * scale > d->descriptor.maxPixelsHigh) {
    return false;
  }
  const bool serialRefused = std::find(refusedSerials_.begin(), refusedSerials_.end(),
                                       d->descriptor.serialNumber) != refusedSerials_.end();
  int64_t served = scale;
  // A mode that is not offered is served at the other density, as a window server substitutes the
  // nearest mode it lists.
  if (serialRefused || !offered(settings, d->descriptor.widthMm)) served = settings.hiDPI ? 1 : 2;
  if (settings.hiDPI && substitution_ == Substitution::hiDPIAs1x) served = 1;
  if (!settings.hiDPI && substitution_ == Substitution::oneXAsHiDPI) served = 2;
  d->pending = modeOf(settings.width, settings.height, served, settings.refreshRate);
  d->pendingVisibleAtUs = clock_.nowUs() + visibleAfterUs_;
  d->pendingMissingUntilUs = clock_.nowUs() + missingForUs_;
  settleLocked(*d);
  return true;
}

std::optional<DisplayMode> SimWindowServer::currentMode(DisplayId id) {
  std::lock_guard lock(mutex_);
  auto* d = findLocked(id);
  if (!d || !d->online) return std::nullopt;
  settleLocked(*d);
  if (d->pending && clock_.nowUs() < d->pendingMissingUntilUs) return std::nullopt;
  return d->live;
}

std::vector<DisplayMode> SimWindowServer::modes(DisplayId id) {
  auto live = currentMode(id);
  if (!live) return {};
  return {*live};
}

double SimWindowServer::rotationDegrees(DisplayId) { return 0; }

std::optional<DisplayBounds> SimWindowServer::bounds(DisplayId id) {
  std::lock_guard lock(mutex_);
  auto* d = findLocked(id);
  if (!d) return std::nullopt;
  settleLocked(*d);
  DisplayBounds b{d->x, d->y, 0, 0};
  if (d->live) {
    b.width = d->live->width;
    b.height = d->live->height;
  }
  return b;
}

DisplayId SimWindowServer::mainDisplay() {
  std::lock_guard lock(mutex_);
  DisplayId first = 0;
  for (const auto& d : displays_) {
    if (!d.online) continue;
    if (d.x == 0 && d.y == 0) return d.id;
    if (first == 0) first = d.id;
  }
  return first;
}

std::vector<DisplayId> SimWindowServer::onlineDisplays() {
  std::lock_guard lock(mutex_);
  std::vector<DisplayId> ids;
  for (const auto& d : displays_) {
    if (d.online) ids.push_back(d.id);
  }
  return ids;
}

std::unique_ptr<DisplayConfiguration> SimWindowServer::beginConfiguration() {
  return std::make_unique<Configuration>(*this);
}

bool SimWindowServer::completeConfiguration(const std::vector<Change>& changes) {
  std::function<void()> observer;
  {
    std::lock_guard lock(mutex_);
    if (configurationRefused_) return false;
    observer = onConfiguration_;
  }
  if (observer) observer();
  std::lock_guard lock(mutex_);
  ++configurations_;
  for (const auto& change : changes) {
    auto* d = findLocked(change.id);
    if (!d) continue;
    if (change.isOrigin) {
      d->x = change.x;
      d->y = change.y;
      continue;
    }
    int& refusals = change.enabled ? d->refuseOn : d->refuseOff;
    ++(change.enabled ? d->onRequests : d->offRequests);
    if (refusals != 0) {
      if (refusals > 0) --refusals;
      continue;
    }
    d->online = change.enabled;
  }
  return true;
}

}  // namespace tavlo
