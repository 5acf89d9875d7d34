#pragma once
// Where the input injector's events go: the window system's input stream (XTestPoster on Xorg) or a
// recording for tests (RecordingPoster). Every operation may be called from several threads at once.
#include <cstdint>
#include <optional>

#include "platform/input/system_event.hpp"
#include "platform/runtime/screen_geometry.hpp"

namespace tavlo {

class EventPoster {
 public:
  virtual ~EventPoster() = default;

  // Posts one event. Posting may be buffered until flush(); events keep their order. An event the
  // window system cannot take is dropped without report.
  virtual void post(const SystemEvent& event) = 0;
  // Hands everything posted so far to the window system.
  virtual void flush() = 0;

  // The display's rectangle in the global point space; empty when the display is unknown or off.
  virtual std::optional<ScreenRect> displayBounds(uint32_t displayID) = 0;
  // The pointer's position in the global point space; empty when it cannot be read.
  virtual std::optional<ScreenPoint> cursorPosition() = 0;
  // Moves the pointer there without a click (displayID as in SystemEvent).
  virtual void warpCursor(ScreenPoint point, uint32_t displayID) = 0;

  // Whether this process may post events, and a request for it (the answer after asking).
  virtual bool hasPermission() = 0;
  virtual bool requestPermission() = 0;

  // Whether pencil pressure, tilt and rotation reach applications; when not, tablet events act as
  // plain pointer events.
  virtual bool carriesTabletData() const = 0;
  // Whether gesture events (pinch) reach applications; when not, they are dropped.
  virtual bool carriesGestures() const = 0;
};

}  // namespace tavlo
