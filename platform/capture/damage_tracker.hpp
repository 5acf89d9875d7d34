#pragma once
// Which parts of the screen changed, from XDAMAGE: the server reports every drawing on the root window
// and its children as rectangles, and the capture grabs only when one of them meets the rectangle it
// streams. A screen that does not change then costs no grab, no conversion and no encoding.
//
// The server only reports growth of its damage region, so every period ends with clearing it
// (`clear`); drawing after that is reported again. Clear before grabbing: what is drawn between the
// grab and the clear would otherwise be lost.
//
// Not thread-safe: the capture thread alone feeds it the connection's events.
#include <cstdint>
#include <memory>
#include <string>

#include <xcb/xcb.h>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

// A rectangle in root pixels (the X server's integer coordinates, not the desktop's point space).
struct PixelRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;

  bool empty() const { return width <= 0 || height <= 0; }
  bool intersects(const PixelRect& other) const;
  PixelRect united(const PixelRect& other) const;
  bool operator==(const PixelRect&) const = default;
};

class DamageTracker {
 public:
  // Starts tracking the root window of `connection` (which must outlive the tracker). nullptr, with the
  // reason in `error`, when the server lacks DAMAGE.
  static std::unique_ptr<DamageTracker> create(const XcbConnection& connection, std::string* error = nullptr);
  ~DamageTracker();
  DamageTracker(const DamageTracker&) = delete;
  DamageTracker& operator=(const DamageTracker&) = delete;

  // Takes one event read from the connection; true when it was a damage report (and is consumed).
  bool handleEvent(const xcb_generic_event_t& event);
  // Whether anything inside `area` was drawn since the last clear.
  bool damaged(const PixelRect& area) const { return area.intersects(pending_); }
  // Starts a new period: forgets what was reported and clears the server's region.
  void clear();

 private:
  DamageTracker(const XcbConnection& connection, uint32_t damage, uint8_t firstEvent)
      : connection_(connection), damage_(damage), firstEvent_(firstEvent) {}

  const XcbConnection& connection_;
  uint32_t damage_;
  uint8_t firstEvent_;
  PixelRect pending_;  // the bounding box of the reports since the last clear
  bool reported_ = false;
};

}  // namespace tavlo
