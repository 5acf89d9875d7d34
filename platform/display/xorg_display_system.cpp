#include "platform/display/xorg_display_system.hpp"

#include <xcb/randr.h>

#include <algorithm>
#include <set>

#include "platform/display/randr_layout.hpp"
#include "platform/runtime/checked_number.hpp"
#include "platform/runtime/product_identifier.hpp"
#include "platform/x11/randr_outputs.hpp"

namespace tavlo {
namespace {

// Marks an output this system has used as a virtual display: it may take it again, also after a restart.
constexpr const char* kVirtualMarkerProperty = "TAVLO_VIRTUAL";
// Where a switched-off output keeps its mode, x, y and rotation until it is switched on again.
constexpr const char* kRestoreProperty = "TAVLO_RESTORE";
// The dummy driver's own output properties for the physical size RandR reports.
constexpr const char* kWidthMmProperty = "WIDTH_MM";
constexpr const char* kHeightMmProperty = "HEIGHT_MM";

bool overlaps(const RandrCrtc& a, const RandrCrtc& b) {
  return a.x < b.right() && b.x < a.right() && a.y < b.bottom() && b.y < a.bottom();
}

// Moves the CRTCs that are on and not `fixed` out of the way of the others, to the right of everything,
// as a window server rearranges displays that a change made overlap; then moves the whole desktop so
// that it starts at (0, 0).
void arrange(RandrLayout& layout, const std::set<uint32_t>& fixed) {
  std::vector<const RandrCrtc*> placed;
  for (const auto& c : layout.crtcs) {
    if (c.on() && fixed.count(c.id)) placed.push_back(&c);
  }
  for (auto& c : layout.crtcs) {
    if (!c.on() || fixed.count(c.id)) continue;
    const bool hit = std::any_of(placed.begin(), placed.end(), [&](const RandrCrtc* p) { return overlaps(c, *p); });
    if (hit) {
      int64_t edge = 0;
      for (const auto& other : layout.crtcs) {
        if (other.on() && other.id != c.id) edge = std::max(edge, other.right());
      }
      c.x = static_cast<int32_t>(edge);
      c.y = 0;
    }
    placed.push_back(&c);
  }
  int32_t minX = INT32_MAX, minY = INT32_MAX;
  for (const auto& c : layout.crtcs) {
    if (!c.on()) continue;
    minX = std::min(minX, c.x);
    minY = std::min(minY, c.y);
  }
  if (minX == INT32_MAX || (minX == 0 && minY == 0)) return;
  for (auto& c : layout.crtcs) {
    if (!c.on()) continue;
    c.x -= minX;
    c.y -= minY;
  }
}

bool isOurMode(const RandrLayout& layout, uint32_t id) {
  const RandrMode* m = layout.mode(id);
  return m && m->name.starts_with(kRandrModePrefix);
}

bool contains(const std::vector<uint32_t>& ids, uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

bool outputCanBeTaken(const RandrOutput& output, bool shown, bool ours) {
  if (shown || output.crtcs.empty()) return false;
  if (ours) return true;
  // A connected output belongs to a physical display.
  if (output.connected) return false;
  return output.name.starts_with("DUMMY") || output.name.starts_with("VIRTUAL");
}

class XorgDisplaySystem::Configuration final : public DisplayConfiguration {
 public:
  explicit Configuration(XorgDisplaySystem& system) : system_(system) {}
  void setOrigin(DisplayId id, int64_t x, int64_t y) override { changes_.push_back({id, true, x, y, false}); }
  void setEnabled(DisplayId id, bool enabled) override { changes_.push_back({id, false, 0, 0, enabled}); }
  bool complete() override {
    return system_.onQueue([&] { return system_.configureOn(changes_); });
  }

 private:
  XorgDisplaySystem& system_;
  std::vector<Change> changes_;
};

std::shared_ptr<XorgDisplaySystem> XorgDisplaySystem::open(const std::string& display, std::string* error) {
  auto connection = XcbConnection::open(display, error);
  if (!connection) return nullptr;
  if (!connection->hasExtension("RANDR")) {
    if (error) *error = "X display '" + connection->displayName() + "' has no RandR";
    return nullptr;
  }
  // Announces the RandR version the requests below are written for (1.5).
  xcb_connection_t* c = connection->get();
  xcbReplyBy<xcb_randr_query_version_reply_t>(c, xcb_randr_query_version(c, 1, 5).sequence);
  return std::shared_ptr<XorgDisplaySystem>(new XorgDisplaySystem(std::move(connection)));
}

XorgDisplaySystem::XorgDisplaySystem(std::unique_ptr<XcbConnection> connection)
    : connection_(std::move(connection)), queue_(std::string(reverseDnsPrefix) + ".vdisplay") {}

XorgDisplaySystem::~XorgDisplaySystem() { queue_.shutdown(); }

bool XorgDisplaySystem::onQueue(const std::function<bool()>& job) {
  bool result = false;
  if (!queue_.sync([&] { result = job(); })) return false;
  return result;
}

std::optional<DisplayId> XorgDisplaySystem::createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) {
  DisplayId created = 0;
  if (!onQueue([&] { return createOn(descriptor, created); })) return std::nullopt;
  return created;
}

void XorgDisplaySystem::releaseVirtualDisplay(DisplayId id) {
  onQueue([&] {
    releaseOn(id);
    return true;
  });
}

std::vector<DisplayId> XorgDisplaySystem::switchOffLeftoverVirtualDisplays() {
  std::vector<DisplayId> off;
  onQueue([&] {
    off = switchOffLeftoversOn();
    return true;
  });
  return off;
}

std::vector<DisplayId> XorgDisplaySystem::switchOffLeftoversOn() {
  auto before = readRandrLayout(*connection_);
  if (!before) return {};
  RandrLayout after = *before;
  std::vector<DisplayId> off;
  for (const auto& output : before->outputs) {
    if (virtual_.count(output.id) || readOutputIntegers(*connection_, output.id, kVirtualMarkerProperty).empty()) {
      continue;
    }
    RandrCrtc* crtc = after.crtcShowing(output.id);
    if (!crtc) continue;
    // The desktop keeps a screen: the last one on stays, whatever it is.
    const bool anotherOn = std::any_of(after.crtcs.begin(), after.crtcs.end(),
                                       [&](const RandrCrtc& c) { return c.on() && c.id != crtc->id; });
    if (!anotherOn) continue;
    after.switchOff(*crtc);
    off.push_back(output.id);
  }
  if (off.empty()) return off;
  arrange(after, {});
  if (!commitRandrLayout(*connection_, *before, after)) return {};
  for (DisplayId id : off) {
    dropOurModes(after, id, 0);
    deleteOutputProperty(*connection_, id, kOutputScaleProperty);
  }
  settlePrimary(0);
  return off;
}

bool XorgDisplaySystem::applySettings(DisplayId id, const VirtualDisplaySettings& settings) {
  return onQueue([&] { return applyOn(id, settings); });
}

bool XorgDisplaySystem::createOn(const VirtualDisplayDescriptor& descriptor, DisplayId& created) {
  auto layout = readRandrLayout(*connection_);
  if (!layout) return false;
  for (const auto& output : layout->outputs) {
    if (virtual_.count(output.id) || !takeable(*layout, output)) continue;
    const int32_t marker = 1;
    if (!writeOutputIntegers(*connection_, output.id, kVirtualMarkerProperty, std::span(&marker, 1))) return false;
    virtual_[output.id] = {descriptor.maxPixelsWide, descriptor.maxPixelsHigh, descriptor.widthMm,
                           descriptor.heightMm};
    created = output.id;
    return true;
  }
  return false;
}

bool XorgDisplaySystem::takeable(const RandrLayout& layout, const RandrOutput& output) {
  const bool shown = layout.crtcShowing(output.id) != nullptr;
  if (shown || output.crtcs.empty()) return false;
  const bool ours = !readOutputIntegers(*connection_, output.id, kVirtualMarkerProperty).empty();
  return outputCanBeTaken(output, shown, ours);
}

std::optional<std::string> XorgDisplaySystem::outputToTake() {
  std::optional<std::string> name;
  onQueue([&] {
    auto layout = readRandrLayout(*connection_);
    if (!layout) return false;
    for (const auto& output : layout->outputs) {
      if (virtual_.count(output.id) || !takeable(*layout, output)) continue;
      name = output.name;
      return true;
    }
    return false;
  });
  return name;
}

void XorgDisplaySystem::releaseOn(DisplayId id) {
  if (!virtual_.count(id)) return;
  virtual_.erase(id);
  auto before = readRandrLayout(*connection_);
  if (!before) return;
  RandrLayout after = *before;
  if (RandrCrtc* crtc = after.crtcShowing(id)) {
    after.switchOff(*crtc);
    arrange(after, {});
    commitRandrLayout(*connection_, *before, after);
  }
  dropOurModes(after, id, 0);
  deleteOutputProperty(*connection_, id, kOutputScaleProperty);
  settlePrimary(0);
}

bool XorgDisplaySystem::applyOn(DisplayId id, const VirtualDisplaySettings& settings) {
  auto found = virtual_.find(id);
  if (found == virtual_.end()) return false;
  const int64_t scale = settings.hiDPI ? 2 : 1;
  const int64_t pixelWidth = saturatingMul(settings.width, scale);
  const int64_t pixelHeight = saturatingMul(settings.height, scale);
  if (pixelWidth < 1 || pixelHeight < 1 || pixelWidth > found->second.maxPixelsWide ||
      pixelHeight > found->second.maxPixelsHigh) {
    return false;
  }
  auto mode = createRandrMode(*connection_, static_cast<uint32_t>(pixelWidth), static_cast<uint32_t>(pixelHeight));
  if (!mode) return false;
  auto before = readRandrLayout(*connection_);
  if (!before || !before->output(id)) return false;
  if (!contains(before->output(id)->modes, *mode)) {
    if (!addOutputMode(*connection_, id, *mode)) return false;
    before = readRandrLayout(*connection_);
    if (!before) return false;
  }
  // The scale first: whoever sees the new CRTC size also sees the scale that goes with it.
  if (!setOutputScale(*connection_, id, static_cast<int32_t>(scale))) return false;

  RandrLayout after = *before;
  RandrCrtc* crtc = after.crtcShowing(id);
  int32_t x = 0, y = 0;
  if (crtc) {
    x = crtc->x;
    y = crtc->y;
  } else {
    x = static_cast<int32_t>(after.rightEdge());
    crtc = after.freeCrtcFor(id);
  }
  if (!crtc || !after.show(*crtc, id, *mode, x, y, XCB_RANDR_ROTATION_ROTATE_0)) return false;
  arrange(after, {crtc->id});
  const bool ok = commitRandrLayout(*connection_, *before, after);
  dropOurModes(after, id, ok ? *mode : 0);
  if (ok) showPhysicalSize(id, found->second);
  settlePrimary(0);
  return ok;
}

void XorgDisplaySystem::showPhysicalSize(DisplayId id, const VirtualOutput& output) {
  // The dummy driver keeps the size only on an output that is connected, which it becomes once it shows
  // a mode: so it is given after every mode change. RandR reports it after the next probe of the outputs.
  bool written = false;
  for (auto [property, mm] : {std::pair{kWidthMmProperty, output.widthMm}, {kHeightMmProperty, output.heightMm}}) {
    auto value = roundChecked<int32_t>(mm);
    if (value && *value >= 0 && !readOutputIntegers(*connection_, id, property).empty()) {
      written = writeOutputIntegers(*connection_, id, property, std::span(&*value, 1)) || written;
    }
  }
  if (!written) return;
  xcb_connection_t* c = connection_->get();
  xcbReplyBy<xcb_randr_get_screen_resources_reply_t>(c, xcb_randr_get_screen_resources(c, connection_->root()).sequence);
}

bool XorgDisplaySystem::answering() { return !xServerStalled(); }

std::string XorgDisplaySystem::displayName(DisplayId id) {
  std::optional<OutputGeometry> output = queryOutput(*connection_, id);
  return output && !output->name.empty() ? output->name : std::to_string(id);
}

bool XorgDisplaySystem::configureOn(const std::vector<Change>& changes) {
  auto before = readRandrLayout(*connection_);
  if (!before) return false;
  RandrLayout after = *before;
  std::map<DisplayId, bool> wanted;
  std::map<DisplayId, std::pair<int64_t, int64_t>> origins;
  for (const auto& change : changes) {
    if (change.isOrigin) {
      origins[change.id] = {change.x, change.y};
    } else {
      wanted[change.id] = change.enabled;
    }
  }

  std::set<uint32_t> fixed;
  std::vector<DisplayId> switchedOn;
  for (auto [id, enabled] : wanted) {
    if (enabled || !after.crtcShowing(id)) continue;
    RandrCrtc& crtc = *after.crtcShowing(id);
    const int32_t keep[] = {static_cast<int32_t>(crtc.mode), crtc.x, crtc.y, crtc.rotation};
    writeOutputIntegers(*connection_, id, kRestoreProperty, keep);
    after.switchOff(crtc);
  }
  for (auto [id, enabled] : wanted) {
    const RandrOutput* output = after.output(id);
    if (!enabled || after.crtcShowing(id) || !output || output->modes.empty()) continue;
    RandrCrtc* crtc = after.freeCrtcFor(id);
    if (!crtc) continue;
    const auto kept = readOutputIntegers(*connection_, id, kRestoreProperty);
    const bool useKept = kept.size() == 4 && kept[0] > 0 && contains(output->modes, static_cast<uint32_t>(kept[0]));
    const uint32_t mode = useKept ? static_cast<uint32_t>(kept[0]) : output->modes.front();
    const auto rotation = static_cast<uint16_t>(useKept ? kept[3] : XCB_RANDR_ROTATION_ROTATE_0);
    // Back where it was when that place is free, else to the right of the others.
    const int64_t edge = after.rightEdge();
    if (!after.show(*crtc, id, mode, 0, 0, rotation)) continue;
    bool placed = false;
    if (useKept && kept[1] >= 0 && kept[2] >= 0) {
      crtc->x = kept[1];
      crtc->y = kept[2];
      placed = std::none_of(after.crtcs.begin(), after.crtcs.end(),
                            [&](const RandrCrtc& c) { return c.on() && c.id != crtc->id && overlaps(c, *crtc); });
    }
    if (!placed) {
      crtc->x = static_cast<int32_t>(edge);
      crtc->y = 0;
    }
    fixed.insert(crtc->id);
    switchedOn.push_back(id);
  }
  DisplayId atOrigin = 0;
  for (auto [id, origin] : origins) {
    RandrCrtc* crtc = after.crtcShowing(id);
    auto x = truncateChecked<int16_t>(static_cast<double>(origin.first));
    auto y = truncateChecked<int16_t>(static_cast<double>(origin.second));
    if (!crtc || !x || !y || *x < 0 || *y < 0) continue;
    crtc->x = *x;
    crtc->y = *y;
    fixed.insert(crtc->id);
    if (*x == 0 && *y == 0) atOrigin = id;
  }
  arrange(after, fixed);
  const bool ok = commitRandrLayout(*connection_, *before, after);
  if (ok) {
    for (DisplayId id : switchedOn) deleteOutputProperty(*connection_, id, kRestoreProperty);
  }
  settlePrimary(atOrigin);
  return ok;
}

void XorgDisplaySystem::dropOurModes(const RandrLayout& layout, DisplayId output, uint32_t keep) {
  const RandrOutput* o = layout.output(output);
  if (!o) return;
  for (uint32_t mode : o->modes) {
    if (mode == keep || !isOurMode(layout, mode)) continue;
    deleteOutputMode(*connection_, output, mode);
    destroyRandrMode(*connection_, mode);
  }
}

void XorgDisplaySystem::settlePrimary(DisplayId preferred) {
  const auto outputs = queryOutputs(*connection_);
  const OutputGeometry* current = nullptr;
  const OutputGeometry* atOrigin = nullptr;
  for (const auto& o : outputs) {
    if (!o.enabled() || o.x != 0 || o.y != 0) continue;
    if (o.primary) current = &o;
    if (!atOrigin || o.outputId == preferred) atOrigin = &o;
  }
  if (atOrigin && atOrigin->outputId == preferred && !atOrigin->primary) {
    setPrimaryOutput(*connection_, preferred);
  } else if (!current && atOrigin) {
    setPrimaryOutput(*connection_, atOrigin->outputId);
  }
}

std::optional<DisplayMode> XorgDisplaySystem::currentMode(DisplayId id) {
  auto output = queryOutput(*connection_, id);
  if (!output || !output->enabled()) return std::nullopt;
  const int64_t scale = output->scale;
  return DisplayMode{output->pixelWidth / scale, output->pixelHeight / scale, output->pixelWidth,
                     output->pixelHeight, 0};
}

std::vector<DisplayMode> XorgDisplaySystem::modes(DisplayId id) {
  std::vector<DisplayMode> result;
  auto layout = readRandrLayout(*connection_);
  const RandrOutput* output = layout ? layout->output(id) : nullptr;
  if (!output) return result;
  for (uint32_t modeId : output->modes) {
    if (const RandrMode* m = layout->mode(modeId)) result.push_back({m->width, m->height, m->width, m->height, 0});
  }
  return result;
}

double XorgDisplaySystem::rotationDegrees(DisplayId id) {
  auto output = queryOutput(*connection_, id);
  return output ? output->rotationDegrees : 0;
}

std::optional<DisplayBounds> XorgDisplaySystem::bounds(DisplayId id) {
  auto output = queryOutput(*connection_, id);
  if (!output) return std::nullopt;
  return DisplayBounds{output->x, output->y, output->pixelWidth, output->pixelHeight};
}

DisplayId XorgDisplaySystem::mainDisplay() {
  DisplayId atOrigin = 0, first = 0;
  for (const auto& o : queryOutputs(*connection_)) {
    if (!o.enabled()) continue;
    if (o.primary) return o.outputId;
    if (!atOrigin && o.x == 0 && o.y == 0) atOrigin = o.outputId;
    if (!first) first = o.outputId;
  }
  return atOrigin ? atOrigin : first;
}

std::vector<DisplayId> XorgDisplaySystem::onlineDisplays() {
  std::vector<DisplayId> ids;
  for (const auto& o : queryOutputs(*connection_)) {
    if (o.enabled()) ids.push_back(o.outputId);
  }
  return ids;
}

std::unique_ptr<DisplayConfiguration> XorgDisplaySystem::beginConfiguration() {
  return std::make_unique<Configuration>(*this);
}

}  // namespace tavlo
