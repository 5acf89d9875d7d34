#include "platform/gnome/mutter_display_system.hpp"

#include <chrono>
#include <cmath>
#include <thread>

namespace tavlo {
namespace {

// Our own virtual displays have the top bit set; ids drawn from a monitor's identity never do.
constexpr DisplayId kVirtualIdBase = 0x80000000u;
constexpr auto kPollInterval = std::chrono::milliseconds(25);

// FNV-1a over the monitor's identity: the same monitor gets the same id in every run.
DisplayId identityId(const MutterMonitor& monitor) {
  uint32_t hash = 2166136261u;
  for (const std::string* part : {&monitor.vendor, &monitor.product, &monitor.serial, &monitor.connector}) {
    for (unsigned char c : *part) hash = (hash ^ c) * 16777619u;
    hash = (hash ^ 0xFFu) * 16777619u;  // a separator, so that ("ab", "c") differs from ("a", "bc")
  }
  hash &= ~kVirtualIdBase;
  return hash == 0 ? 1 : hash;
}

double scaleOf(const MutterDisplayState& state, const std::string& connector) {
  const MutterLogicalMonitor* logical = state.logicalMonitorOf(connector);
  return logical ? logical->scale : 1.0;
}

DisplayMode modeInPoints(const MutterMode& mode, double scale) {
  DisplayMode result;
  result.pixelWidth = mode.width;
  result.pixelHeight = mode.height;
  result.width = std::lround(static_cast<double>(mode.width) / scale);
  result.height = std::lround(static_cast<double>(mode.height) / scale);
  result.refreshRate = mode.refreshRate;
  return result;
}

bool supportsScale(const MutterMode& mode, double scale) {
  if (mode.supportedScales.empty()) return true;  // mutter did not say: let it decide
  for (double s : mode.supportedScales) {
    if (std::fabs(s - scale) < 0.01) return true;
  }
  return false;
}

}  // namespace

class MutterDisplaySystem::Configuration final : public DisplayConfiguration {
 public:
  explicit Configuration(MutterDisplaySystem& system) : system_(system), state_(system.config_.state()) {}
  void setOrigin(DisplayId id, int64_t x, int64_t y) override {
    const std::string connector = system_.connectorOf(state_, id);
    if (!connector.empty()) changes_.push_back({MonitorChange::Kind::origin, connector, x, y, 1});
  }
  void setEnabled(DisplayId id, bool enabled) override {
    const std::string connector = system_.connectorOf(state_, id);
    if (connector.empty()) return;
    changes_.push_back({enabled ? MonitorChange::Kind::enable : MonitorChange::Kind::disable, connector, 0, 0, 1});
  }
  bool complete() override {
    if (changes_.empty()) return true;
    return system_.onQueue([&] { return system_.configureOn(changes_); });
  }

 private:
  MutterDisplaySystem& system_;
  MutterDisplayState state_;
  std::vector<MonitorChange> changes_;
};

std::shared_ptr<MutterDisplaySystem> MutterDisplaySystem::open(Options options, std::string* error) {
  if (!options.bus || !options.frames) {
    if (error) *error = "no session bus";
    return nullptr;
  }
  std::shared_ptr<MutterDisplaySystem> system(new MutterDisplaySystem(std::move(options)));
  if (system->config_.state(true, error).monitors.empty() &&
      !system->options_.bus->property(mutter::kScreenCastName, mutter::kScreenCastPath, mutter::kScreenCastName,
                                      "Version", error)) {
    return nullptr;
  }
  return system;
}

MutterDisplaySystem::MutterDisplaySystem(Options options)
    : options_(std::move(options)), config_(options_.bus), nextVirtualId_(kVirtualIdBase + 1), queue_("tavlo.display") {}

MutterDisplaySystem::~MutterDisplaySystem() {
  queue_.shutdown();
  std::map<DisplayId, Virtual> remaining;
  {
    std::lock_guard lock(mutex_);
    remaining.swap(virtual_);
  }
  for (auto& [id, display] : remaining) {
    options_.frames->withdraw(id);
    if (display.consumer) display.consumer->close();
    display.session->stop();
  }
}

void MutterDisplaySystem::log(const std::string& line) const {
  if (options_.log) {
    options_.log(line);
  } else {
    SystemLog::write(line);
  }
}

bool MutterDisplaySystem::onQueue(const std::function<bool()>& job) {
  bool result = false;
  if (!queue_.sync([&] { result = job(); })) return false;
  return result;
}

DisplayId MutterDisplaySystem::idOf(const MutterDisplayState& state, const std::string& connector) const {
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, display] : virtual_) {
      if (display.connector == connector) return id;
    }
  }
  const MutterMonitor* monitor = state.monitor(connector);
  return monitor ? identityId(*monitor) : 0;
}

std::string MutterDisplaySystem::connectorOf(const MutterDisplayState& state, DisplayId id) const {
  if (id & kVirtualIdBase) {
    std::lock_guard lock(mutex_);
    auto it = virtual_.find(id);
    return it == virtual_.end() ? std::string() : it->second.connector;
  }
  for (const auto& monitor : state.monitors) {
    if (identityId(monitor) == id) return monitor.connector;
  }
  return {};
}

std::optional<DisplayId> MutterDisplaySystem::createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) {
  std::optional<DisplayId> created;
  queue_.sync([&] { created = createOn(descriptor); });
  return created;
}

std::optional<DisplayId> MutterDisplaySystem::createOn(const VirtualDisplayDescriptor& descriptor) {
  std::string error;
  std::shared_ptr<MutterRemoteSession> session = MutterRemoteSession::create(options_.bus, &error);
  std::optional<std::string> stream;
  if (session) stream = session->recordVirtual(CastCursorMode::metadata, &error);
  if (!session || !stream || !session->start(std::chrono::milliseconds(kNodeTimeoutMs), &error)) {
    log("🖥 mutter nie utworzył ekranu wirtualnego \"" + descriptor.name + "\": " + error);
    if (session) session->stop();
    return std::nullopt;
  }
  Virtual display;
  display.session = std::move(session);
  display.stream = *stream;
  display.node = *display.session->nodeOf(*stream);
  for (const auto& monitor : config_.state(true).monitors) display.shownBefore.insert(monitor.connector);
  std::lock_guard lock(mutex_);
  const DisplayId id = nextVirtualId_++;
  virtual_.emplace(id, std::move(display));
  return id;
}

void MutterDisplaySystem::releaseVirtualDisplay(DisplayId id) {
  queue_.sync([&] {
    Virtual display;
    {
      std::lock_guard lock(mutex_);
      auto it = virtual_.find(id);
      if (it == virtual_.end()) return;
      display = std::move(it->second);
      virtual_.erase(it);
      remembered_.erase(display.connector);
    }
    options_.frames->withdraw(id);
    if (display.consumer) display.consumer->close();
    display.session->stop();
    // Mutter removes the monitor on its own loop: wait for it, so that what the caller reads next no
    // longer shows it (under a new id, since it is no longer ours).
    if (!display.connector.empty()) awaitGone(display.connector);
  });
}

void MutterDisplaySystem::awaitGone(const std::string& connector) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kModeSettleMs);
  while (config_.state(true).monitor(connector) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kPollInterval);
  }
}

bool MutterDisplaySystem::applySettings(DisplayId id, const VirtualDisplaySettings& settings) {
  return onQueue([&] { return applyOn(id, settings); });
}

bool MutterDisplaySystem::applyOn(DisplayId id, const VirtualDisplaySettings& settings) {
  const int64_t factor = settings.hiDPI ? 2 : 1;
  if (settings.width < 1 || settings.height < 1 || settings.width * factor > PipeWireScreenStream::kMaxSide ||
      settings.height * factor > PipeWireScreenStream::kMaxSide) {
    return false;
  }
  const PixelSize pixels{static_cast<int32_t>(settings.width * factor), static_cast<int32_t>(settings.height * factor)};
  std::shared_ptr<PipeWireScreenStream> consumer;
  uint32_t node = 0;
  {
    std::lock_guard lock(mutex_);
    auto it = virtual_.find(id);
    if (it == virtual_.end()) return false;
    consumer = it->second.consumer;
    node = it->second.node;
    it->second.pixels = pixels;
  }
  std::string error;
  const bool usable = consumer && consumer->status().state != PipeWireScreenStream::State::failed &&
                      consumer->status().state != PipeWireScreenStream::State::closed;
  if (!usable || (consumer->requestedSize() != pixels && !consumer->resize(pixels, &error))) {
    if (consumer) consumer->close();
    PipeWireScreenStream::Options streamOptions;
    streamOptions.nodeId = node;
    streamOptions.size = pixels;
    streamOptions.remote = options_.pipewireRemote;
    streamOptions.log = options_.log;
    consumer = PipeWireScreenStream::open(std::move(streamOptions), &error);
    if (!consumer) {
      log("🖥 strumień ekranu wirtualnego nie ruszył: " + error);
      return false;
    }
    {
      std::lock_guard lock(mutex_);
      auto it = virtual_.find(id);
      if (it != virtual_.end()) it->second.consumer = consumer;
    }
    options_.frames->publish(id, consumer);
  }
  // Mutter may re-create the monitor once more after a new size (a new connector at scale 1): the
  // scale is checked again a moment after it was set, and set again on the monitor that is there.
  const double scale = settings.hiDPI ? 2.0 : 1.0;
  for (int attempt = 0; attempt < kScaleAttempts; ++attempt) {
    const std::string connector = awaitMonitor(id, pixels);
    if (connector.empty()) {
      log("🖥 mutter nie pokazał ekranu wirtualnego " + std::to_string(pixels.width) + "×" +
          std::to_string(pixels.height));
      return false;
    }
    const MutterDisplayState state = config_.state(true);
    const MutterMonitor* monitor = state.monitor(connector);
    const MutterMode* mode = monitor ? monitor->currentMode() : nullptr;
    if (!mode) continue;
    // Mutter keeps at least 800×480 logical pixels on a monitor, so a small HiDPI mode stays at scale
    // 1: the client still gets every pixel it asked for, the desktop just draws smaller on them.
    const bool shrunk = !supportsScale(*mode, scale);
    const double wanted = shrunk ? 1.0 : scale;
    setPointScale(id, shrunk ? scale : 1.0);
    if (std::fabs(scaleOf(state, connector) - wanted) < 0.01) {
      if (attempt > 0) return true;
      std::this_thread::sleep_for(kScaleSettle);
      const MutterDisplayState settled = config_.state(true);
      if (settled.monitor(connector) && std::fabs(scaleOf(settled, connector) - wanted) < 0.01) return true;
      continue;
    }
    if (shrunk && attempt == 0) {
      log("🖥 mutter nie daje skali " + std::to_string(static_cast<int>(scale)) + " ekranowi " +
          std::to_string(pixels.width) + "×" + std::to_string(pixels.height) + " — zostaje skala 1");
    }
    if (!configureOn({MonitorChange{MonitorChange::Kind::scale, connector, 0, 0, wanted}})) return false;
    std::this_thread::sleep_for(kScaleSettle);
  }
  return false;
}

std::string MutterDisplaySystem::awaitMonitor(DisplayId id, PixelSize pixels) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kModeSettleMs);
  for (;;) {
    const MutterDisplayState state = config_.state(true);
    std::set<std::string> taken, before;
    std::string own;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [other, display] : virtual_) {
        if (other != id && !display.connector.empty()) taken.insert(display.connector);
      }
      auto it = virtual_.find(id);
      if (it == virtual_.end()) return {};
      before = it->second.shownBefore;
      own = it->second.connector;
    }
    // Ours: a monitor that was not there before the display was made, that no other display of ours
    // shows, at the size negotiated; the one it had, when mutter kept it.
    std::string found;
    for (const auto& monitor : state.monitors) {
      const MutterMode* mode = monitor.currentMode();
      if (!mode || mode->width != pixels.width || mode->height != pixels.height) continue;
      if (before.count(monitor.connector) || taken.count(monitor.connector)) continue;
      if (found.empty() || monitor.connector == own) found = monitor.connector;
    }
    if (!found.empty() && state.logicalMonitorOf(found)) {
      std::lock_guard lock(mutex_);
      if (auto it = virtual_.find(id); it != virtual_.end()) it->second.connector = found;
      return found;
    }
    if (std::chrono::steady_clock::now() >= deadline) return {};
    std::this_thread::sleep_for(kPollInterval);
  }
}

bool MutterDisplaySystem::configureOn(std::vector<MonitorChange> changes) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const MutterDisplayState state = config_.state(true);
    std::map<std::string, RememberedPlacement> remembered;
    {
      // Each monitor on now is remembered as it is shown, for the day it is switched on again.
      std::lock_guard lock(mutex_);
      for (const auto& logical : state.logicalMonitors) {
        for (const auto& connector : logical.connectors) {
          const MutterMonitor* monitor = state.monitor(connector);
          const MutterMode* mode = monitor ? monitor->currentMode() : nullptr;
          if (mode) remembered_[connector] = {mode->id, logical.scale, logical.transform, logical.x, logical.y};
        }
      }
      remembered = remembered_;
    }
    std::string error;
    auto plan = planMonitorsConfig(state, changes, remembered, &error);
    if (!plan) {
      log("🖥 układ ekranów odrzucony: " + error);
      return false;
    }
    if (config_.apply(state.serial, *plan, &error)) return true;
    // A layout read before someone else's change carries an old serial: read again and retry once.
    if (attempt == 1) log("🖥 mutter odrzucił układ ekranów: " + error);
  }
  return false;
}

std::optional<DisplayMode> MutterDisplaySystem::currentMode(DisplayId id) {
  const MutterDisplayState state = config_.state();
  const std::string connector = connectorOf(state, id);
  const MutterMonitor* monitor = state.monitor(connector);
  const MutterMode* mode = monitor ? monitor->currentMode() : nullptr;
  if (!mode || !state.logicalMonitorOf(connector)) return std::nullopt;
  return modeInPoints(*mode, scaleOf(state, connector) * pointScaleOf(id));
}

std::vector<DisplayMode> MutterDisplaySystem::modes(DisplayId id) {
  const MutterDisplayState state = config_.state();
  const std::string connector = connectorOf(state, id);
  const MutterMonitor* monitor = state.monitor(connector);
  std::vector<DisplayMode> result;
  if (!monitor) return result;
  const double scale = scaleOf(state, connector) * pointScaleOf(id);
  for (const auto& mode : monitor->modes) result.push_back(modeInPoints(mode, scale));
  return result;
}

double MutterDisplaySystem::rotationDegrees(DisplayId id) {
  const MutterDisplayState state = config_.state();
  const MutterLogicalMonitor* logical = state.logicalMonitorOf(connectorOf(state, id));
  return logical ? 90.0 * (logical->transform % 4) : 0.0;
}

std::optional<DisplayBounds> MutterDisplaySystem::bounds(DisplayId id) {
  const MutterDisplayState state = config_.state();
  const MutterLogicalMonitor* logical = state.logicalMonitorOf(connectorOf(state, id));
  const auto mode = currentMode(id);
  if (!logical || !mode) return std::nullopt;
  return DisplayBounds{logical->x, logical->y, mode->width, mode->height};
}

DisplayId MutterDisplaySystem::mainDisplay() {
  const MutterDisplayState state = config_.state();
  for (const auto& logical : state.logicalMonitors) {
    if (logical.primary) return idOf(state, logical.connectors.front());
  }
  return 0;
}

std::vector<DisplayId> MutterDisplaySystem::onlineDisplays() {
  const MutterDisplayState state = config_.state();
  std::vector<DisplayId> online;
  for (const auto& logical : state.logicalMonitors) {
    for (const auto& connector : logical.connectors) {
      if (DisplayId id = idOf(state, connector)) online.push_back(id);
    }
  }
  return online;
}

std::unique_ptr<DisplayConfiguration> MutterDisplaySystem::beginConfiguration() {
  return std::make_unique<Configuration>(*this);
}

std::optional<MutterInputTarget> MutterDisplaySystem::inputTarget(DisplayId id,
                                                                  std::optional<std::pair<double, double>> point) {
  std::vector<std::pair<DisplayId, Virtual>> candidates;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [vid, display] : virtual_) {
      if ((id == 0 || vid == id) && !display.connector.empty()) candidates.emplace_back(vid, display);
    }
  }
  for (const auto& [vid, display] : candidates) {
    const auto rect = bounds(vid);
    if (!rect) continue;
    if (point && (point->first < static_cast<double>(rect->x) || point->second < static_cast<double>(rect->y) ||
                  point->first >= static_cast<double>(rect->x + rect->width) ||
                  point->second >= static_cast<double>(rect->y + rect->height))) {
      continue;
    }
    PixelSize pixels = display.pixels;
    if (display.consumer) {
      const PixelSize negotiated = display.consumer->negotiatedSize();
      if (negotiated.width > 0) pixels = negotiated;
    }
    return MutterInputTarget{display.session, display.stream, pixels, *rect};
  }
  return std::nullopt;
}

void MutterDisplaySystem::setPointScale(DisplayId id, double scale) {
  std::lock_guard lock(mutex_);
  if (auto it = virtual_.find(id); it != virtual_.end()) it->second.pointScale = scale;
}

double MutterDisplaySystem::pointScaleOf(DisplayId id) const {
  std::lock_guard lock(mutex_);
  auto it = virtual_.find(id);
  return it == virtual_.end() ? 1.0 : it->second.pointScale;
}

std::vector<DisplayId> MutterDisplaySystem::virtualDisplays() const {
  std::lock_guard lock(mutex_);
  std::vector<DisplayId> ids;
  for (const auto& [id, display] : virtual_) ids.push_back(id);
  return ids;
}

}  // namespace tavlo
