#include "platform/capture/damage_tracker.hpp"

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <algorithm>

namespace tavlo {
namespace {

// The versions whose requests this file uses (DAMAGE 1.1 builds on XFIXES 2 regions).
constexpr uint32_t kDamageMajor = 1;
constexpr uint32_t kDamageMinor = 1;
constexpr uint32_t kXfixesMajor = 2;
constexpr uint32_t kXfixesMinor = 0;
// The high bit of an event's type marks events that another client sent; they are handled alike.
constexpr uint8_t kEventTypeMask = 0x7f;

}  // namespace

bool PixelRect::intersects(const PixelRect& other) const {
  if (empty() || other.empty()) return false;
  const int64_t left = std::max<int64_t>(x, other.x);
  const int64_t top = std::max<int64_t>(y, other.y);
  const int64_t right = std::min<int64_t>(int64_t{x} + width, int64_t{other.x} + other.width);
  const int64_t bottom = std::min<int64_t>(int64_t{y} + height, int64_t{other.y} + other.height);
  return left < right && top < bottom;
}

PixelRect PixelRect::united(const PixelRect& other) const {
  if (empty()) return other;
  if (other.empty()) return *this;
  const int32_t left = std::min(x, other.x);
  const int32_t top = std::min(y, other.y);
  const int64_t right = std::max<int64_t>(int64_t{x} + width, int64_t{other.x} + other.width);
  const int64_t bottom = std::max<int64_t>(int64_t{y} + height, int64_t{other.y} + other.height);
  // Root coordinates are 16-bit on the wire, so the box always fits.
  return {left, top, static_cast<int32_t>(right - left), static_cast<int32_t>(bottom - top)};
}

std::unique_ptr<DamageTracker> DamageTracker::create(const XcbConnection& connection, std::string* error) {
  xcb_connection_t* c = connection.get();
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_damage_id);
  if (!extension || !extension->present) {
    if (error) *error = "the X server has no DAMAGE extension";
    return nullptr;
  }
  // Both versions must be asked for before the first request of either extension.
  auto xfixes = xcbOwn(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, kXfixesMajor, kXfixesMinor),
                                                      nullptr));
  auto damage = xcbOwn(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, kDamageMajor, kDamageMinor),
                                                      nullptr));
  if (!xfixes || !damage) {
    if (error) *error = "the X server did not answer the DAMAGE version query";
    return nullptr;
  }
  const uint32_t id = xcb_generate_id(c);
  auto failure = xcbOwn(xcb_request_check(
      c, xcb_damage_create_checked(c, id, connection.root(), XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES)));
  if (failure) {
    if (error) *error = "the X server refused a damage object (error " + std::to_string(failure->error_code) + ")";
    return nullptr;
  }
  return std::unique_ptr<DamageTracker>(new DamageTracker(connection, id, extension->first_event));
}

DamageTracker::~DamageTracker() {
  xcb_damage_destroy(connection_.get(), damage_);
  xcb_flush(connection_.get());
}

bool DamageTracker::handleEvent(const xcb_generic_event_t& event) {
  if ((event.response_type & kEventTypeMask) != firstEvent_ + XCB_DAMAGE_NOTIFY) return false;
  const auto& notify = reinterpret_cast<const xcb_damage_notify_event_t&>(event);
  if (notify.damage != damage_) return true;
  // The area is relative to the damaged drawable, the root window, whose origin is the screen's.
  pending_ = pending_.united({notify.area.x, notify.area.y, notify.area.width, notify.area.height});
  reported_ = true;
  return true;
}

void DamageTracker::clear() {
  pending_ = {};
  if (!reported_) return;
  reported_ = false;
  xcb_damage_subtract(connection_.get(), damage_, XCB_NONE, XCB_NONE);
}

}  // namespace tavlo
