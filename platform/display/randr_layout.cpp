#include "platform/display/randr_layout.hpp"

#include <xcb/randr.h>

#include <algorithm>
#include <limits>

namespace tavlo {
namespace {

// Timing of the modes we create: a reduced blanking like CVT's, which the dummy card takes at any size.
constexpr uint32_t kHorizontalBlank = 160, kHSyncStart = 48, kHSyncWidth = 32;
constexpr uint32_t kVerticalBlank = 40, kVSyncStart = 3, kVSyncWidth = 5;
constexpr uint64_t kRefreshHz = 60;
// The screen size RandR is told in millimetres, at the X server's customary 96 dots per inch.
constexpr double kScreenDpi = 96.0;

bool rotated(uint16_t rotation) {
  return (rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270)) != 0;
}

bool contains(const std::vector<uint32_t>& ids, uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool sameSetting(const RandrCrtc& a, const RandrCrtc& b) {
  if (!a.on() && !b.on()) return true;
  return a.mode == b.mode && a.x == b.x && a.y == b.y && a.rotation == b.rotation && a.outputs == b.outputs;
}

struct Extent {
  uint32_t width = 0;
  uint32_t height = 0;
};

Extent extentOf(const RandrLayout& layout) {
  int64_t w = 0, h = 0;
  for (const auto& c : layout.crtcs) {
    if (!c.on()) continue;
    w = std::max(w, c.right());
    h = std::max(h, c.bottom());
  }
  w = std::max<int64_t>(w, layout.minWidth);
  h = std::max<int64_t>(h, layout.minHeight);
  return {static_cast<uint32_t>(std::min<int64_t>(w, std::numeric_limits<uint32_t>::max())),
          static_cast<uint32_t>(std::min<int64_t>(h, std::numeric_limits<uint32_t>::max()))};
}

bool setScreenSize(const XcbConnection& connection, Extent size) {
  xcb_connection_t* c = connection.get();
  const auto mm = [](uint32_t px) { return static_cast<uint32_t>(px * 25.4 / kScreenDpi); };
  return xcbRequestSucceeded(
      c, xcb_randr_set_screen_size_checked(c, connection.root(), static_cast<uint16_t>(size.width),
                                           static_cast<uint16_t>(size.height), mm(size.width), mm(size.height)));
}

bool setCrtc(const XcbConnection& connection, uint32_t configTimestamp, const RandrCrtc& crtc) {
  xcb_connection_t* c = connection.get();
  const bool on = crtc.on();
  auto reply = xcbReplyBy<xcb_randr_set_crtc_config_reply_t>(
      c, xcb_randr_set_crtc_config(c, crtc.id, XCB_CURRENT_TIME, configTimestamp,
                                   static_cast<int16_t>(on ? crtc.x : 0), static_cast<int16_t>(on ? crtc.y : 0),
                                   on ? crtc.mode : XCB_NONE, on ? crtc.rotation : uint16_t{XCB_RANDR_ROTATION_ROTATE_0},
                                   on ? static_cast<uint32_t>(crtc.outputs.size()) : 0, crtc.outputs.data())
             .sequence);
  return reply && reply->status == XCB_RANDR_SET_CONFIG_SUCCESS;
}

}  // namespace

const RandrOutput* RandrLayout::output(uint32_t id) const {
  for (const auto& o : outputs) {
    if (o.id == id) return &o;
  }
  return nullptr;
}

RandrCrtc* RandrLayout::crtc(uint32_t id) {
  for (auto& c : crtcs) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

const RandrCrtc* RandrLayout::crtc(uint32_t id) const { return const_cast<RandrLayout*>(this)->crtc(id); }

const RandrMode* RandrLayout::mode(uint32_t id) const {
  for (const auto& m : modes) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

RandrCrtc* RandrLayout::crtcShowing(uint32_t outputId) {
  for (auto& c : crtcs) {
    if (c.on() && contains(c.outputs, outputId)) return &c;
  }
  return nullptr;
}

const RandrCrtc* RandrLayout::crtcShowing(uint32_t outputId) const {
  return const_cast<RandrLayout*>(this)->crtcShowing(outputId);
}

RandrCrtc* RandrLayout::freeCrtcFor(uint32_t outputId) {
  const RandrOutput* o = output(outputId);
  if (!o) return nullptr;
  for (auto& c : crtcs) {
    if (!c.on() && contains(o->crtcs, c.id)) return &c;
  }
  return nullptr;
}

bool RandrLayout::show(RandrCrtc& c, uint32_t outputId, uint32_t modeId, int32_t x, int32_t y, uint16_t rotation) {
  const RandrMode* m = mode(modeId);
  if (!m) return false;
  c.mode = modeId;
  c.x = x;
  c.y = y;
  c.rotation = rotation;
  c.width = rotated(rotation) ? m->height : m->width;
  c.height = rotated(rotation) ? m->width : m->height;
  c.outputs = {outputId};
  return true;
}

void RandrLayout::switchOff(RandrCrtc& c) {
  c.mode = 0;
  c.x = c.y = 0;
  c.width = c.height = 0;
  c.rotation = XCB_RANDR_ROTATION_ROTATE_0;
  c.outputs.clear();
}

int64_t RandrLayout::rightEdge() const {
  int64_t edge = 0;
  for (const auto& c : crtcs) {
    if (c.on()) edge = std::max(edge, c.right());
  }
  return edge;
}

std::optional<RandrLayout> readRandrLayout(const XcbConnection& connection) {
  xcb_connection_t* c = connection.get();
  auto resourcesCookie = xcb_randr_get_screen_resources_current(c, connection.root());
  auto rangeCookie = xcb_randr_get_screen_size_range(c, connection.root());
  auto primaryCookie = xcb_randr_get_output_primary(c, connection.root());
  auto geometryCookie = xcb_get_geometry(c, connection.root());
  const XReplyDeadline deadline = xReplyDeadline();  // one for the whole layout
  auto resources = xcbReplyBy<xcb_randr_get_screen_resources_current_reply_t>(c, resourcesCookie.sequence, deadline);
  auto range = xcbReplyBy<xcb_randr_get_screen_size_range_reply_t>(c, rangeCookie.sequence, deadline);
  auto primary = xcbReplyBy<xcb_randr_get_output_primary_reply_t>(c, primaryCookie.sequence, deadline);
  auto geometry = xcbReplyBy<xcb_get_geometry_reply_t>(c, geometryCookie.sequence, deadline);
  if (!resources || !range || !geometry) return std::nullopt;

  RandrLayout layout;
  layout.configTimestamp = resources->config_timestamp;
  layout.screenWidth = geometry->width;
  layout.screenHeight = geometry->height;
  layout.minWidth = range->min_width;
  layout.minHeight = range->min_height;
  layout.maxWidth = range->max_width;
  layout.maxHeight = range->max_height;
  layout.primary = primary ? primary->output : 0;

  const auto* modeInfos = xcb_randr_get_screen_resources_current_modes(resources.get());
  const int modeCount = xcb_randr_get_screen_resources_current_modes_length(resources.get());
  const auto* names = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(resources.get()));
  const int namesLength = xcb_randr_get_screen_resources_current_names_length(resources.get());
  int offset = 0;
  for (int i = 0; i < modeCount; ++i) {
    const auto& info = modeInfos[i];
    RandrMode m{info.id, info.width, info.height, {}};
    if (offset + info.name_len <= namesLength) m.name.assign(names + offset, info.name_len);
    offset += info.name_len;
    layout.modes.push_back(std::move(m));
  }

  const auto* crtcIds = xcb_randr_get_screen_resources_current_crtcs(resources.get());
  const int crtcCount = xcb_randr_get_screen_resources_current_crtcs_length(resources.get());
  const auto* outputIds = xcb_randr_get_screen_resources_current_outputs(resources.get());
  const int outputCount = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
  std::vector<xcb_randr_get_crtc_info_cookie_t> crtcCookies;
  for (int i = 0; i < crtcCount; ++i) {
    crtcCookies.push_back(xcb_randr_get_crtc_info(c, crtcIds[i], resources->config_timestamp));
  }
  std::vector<xcb_randr_get_output_info_cookie_t> outputCookies;
  for (int i = 0; i < outputCount; ++i) {
    outputCookies.push_back(xcb_randr_get_output_info(c, outputIds[i], resources->config_timestamp));
  }
  for (int i = 0; i < crtcCount; ++i) {
    auto info = xcbReplyBy<xcb_randr_get_crtc_info_reply_t>(c, crtcCookies[static_cast<size_t>(i)].sequence, deadline);
    if (!info) continue;
    RandrCrtc crtc;
    crtc.id = crtcIds[i];
    crtc.mode = info->mode;
    crtc.x = info->x;
    crtc.y = info->y;
    crtc.width = info->width;
    crtc.height = info->height;
    crtc.rotation = info->rotation;
    const auto* outs = xcb_randr_get_crtc_info_outputs(info.get());
    crtc.outputs.assign(outs, outs + xcb_randr_get_crtc_info_outputs_length(info.get()));
    const auto* possible = xcb_randr_get_crtc_info_possible(info.get());
    crtc.possibleOutputs.assign(possible, possible + xcb_randr_get_crtc_info_possible_length(info.get()));
    if (!crtc.on()) crtc.outputs.clear();
    layout.crtcs.push_back(std::move(crtc));
  }
  for (int i = 0; i < outputCount; ++i) {
    auto info = xcbReplyBy<xcb_randr_get_output_info_reply_t>(c, outputCookies[static_cast<size_t>(i)].sequence, deadline);
    if (!info) continue;
    RandrOutput out;
    out.id = outputIds[i];
    out.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                    static_cast<size_t>(xcb_randr_get_output_info_name_length(info.get())));
    out.connected = info->connection == XCB_RANDR_CONNECTION_CONNECTED;
    const auto* crtcs = xcb_randr_get_output_info_crtcs(info.get());
    out.crtcs.assign(crtcs, crtcs + xcb_randr_get_output_info_crtcs_length(info.get()));
    const auto* modes = xcb_randr_get_output_info_modes(info.get());
    out.modes.assign(modes, modes + xcb_randr_get_output_info_modes_length(info.get()));
    out.preferredCount = info->num_preferred;
    layout.outputs.push_back(std::move(out));
  }
  return layout;
}

bool commitRandrLayout(const XcbConnection& connection, const RandrLayout& before, const RandrLayout& after) {
  const Extent target = extentOf(after);
  if (target.width > after.maxWidth || target.height > after.maxHeight) return false;
  const Extent grown{std::max(target.width, before.screenWidth), std::max(target.height, before.screenHeight)};
  if ((grown.width != before.screenWidth || grown.height != before.screenHeight) && !setScreenSize(connection, grown)) {
    return false;
  }
  // CRTCs that go off first, so that an output moving between CRTCs is free when its new one takes it.
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& wanted : after.crtcs) {
      const RandrCrtc* was = before.crtc(wanted.id);
      if (!was || sameSetting(*was, wanted) || wanted.on() != (pass == 1)) continue;
      if (!setCrtc(connection, after.configTimestamp, wanted)) return false;
    }
  }
  if (target.width != grown.width || target.height != grown.height) return setScreenSize(connection, target);
  return true;
}

std::optional<uint32_t> createRandrMode(const XcbConnection& connection, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || width + kHorizontalBlank > 0xFFFF || height + kVerticalBlank > 0xFFFF) {
    return std::nullopt;
  }
  const uint64_t dotClock = uint64_t{width + kHorizontalBlank} * (height + kVerticalBlank) * kRefreshHz;
  if (dotClock > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  const std::string name = std::string(kRandrModePrefix) + std::to_string(width) + "x" + std::to_string(height);
  xcb_randr_mode_info_t info{};
  info.width = static_cast<uint16_t>(width);
  info.height = static_cast<uint16_t>(height);
  info.dot_clock = static_cast<uint32_t>(dotClock);
  info.hsync_start = static_cast<uint16_t>(width + kHSyncStart);
  info.hsync_end = static_cast<uint16_t>(width + kHSyncStart + kHSyncWidth);
  info.htotal = static_cast<uint16_t>(width + kHorizontalBlank);
  info.vsync_start = static_cast<uint16_t>(height + kVSyncStart);
  info.vsync_end = static_cast<uint16_t>(height + kVSyncStart + kVSyncWidth);
  info.vtotal = static_cast<uint16_t>(height + kVerticalBlank);
  info.name_len = static_cast<uint16_t>(name.size());
  info.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_POSITIVE | XCB_RANDR_MODE_FLAG_VSYNC_NEGATIVE;
  xcb_connection_t* c = connection.get();
  auto reply = xcbReplyBy<xcb_randr_create_mode_reply_t>(
      c, xcb_randr_create_mode(c, connection.root(), info, static_cast<uint32_t>(name.size()), name.data()).sequence);
  if (!reply || reply->mode == XCB_NONE) return std::nullopt;
  return reply->mode;
}

bool addOutputMode(const XcbConnection& connection, uint32_t output, uint32_t mode) {
  xcb_connection_t* c = connection.get();
  return xcbRequestSucceeded(c, xcb_randr_add_output_mode_checked(c, output, mode));
}

void deleteOutputMode(const XcbConnection& connection, uint32_t output, uint32_t mode) {
  xcb_connection_t* c = connection.get();
  (void)xcbRequestSucceeded(c, xcb_randr_delete_output_mode_checked(c, output, mode));
}

void destroyRandrMode(const XcbConnection& connection, uint32_t mode) {
  xcb_connection_t* c = connection.get();
  (void)xcbRequestSucceeded(c, xcb_randr_destroy_mode_checked(c, mode));
}

bool setPrimaryOutput(const XcbConnection& connection, uint32_t output) {
  xcb_connection_t* c = connection.get();
  return xcbRequestSucceeded(c, xcb_randr_set_output_primary_checked(c, connection.root(), output));
}

}  // namespace tavlo
