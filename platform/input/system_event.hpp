#pragma once
// One event of the system's input stream, as the input injector builds it and an EventPoster posts
// it. Types, fields and flag bits keep the numbering of the desktop event system the client's input
// model comes from, so the injector's logic reads the same everywhere; each poster turns them into
// what its own window system understands.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/runtime/screen_geometry.hpp"

namespace tavlo {

enum class SystemEventType : uint8_t {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  mouseMoved = 5,
  leftMouseDragged = 6,
  keyDown = 10,
  keyUp = 11,
  flagsChanged = 12,
  scrollWheel = 22,
  otherMouseDown = 25,
  otherMouseUp = 26,
  gesture = 29,
};

// Numbered event fields. Integer fields are held as doubles: every value the injector sets is small.
enum class EventField : uint8_t {
  clickState = 1,
  mouseSubtype = 7,  // 1: a tablet point
  keyboardAutorepeat = 8,
  tabletPressure = 19,
  tabletTiltX = 20,
  tabletTiltY = 21,
  tabletRotation = 22,  // degrees
  gestureHIDType = 110,
  gestureZoomValue = 113,
  gesturePhase = 132,
};

// Modifier flag bits of an event.
struct EventFlags {
  static constexpr uint64_t alphaShift = 0x10000;
  static constexpr uint64_t shift = 0x20000;
  static constexpr uint64_t control = 0x40000;
  static constexpr uint64_t option = 0x80000;
  static constexpr uint64_t command = 0x100000;
  static constexpr uint64_t numericPad = 0x200000;
  static constexpr uint64_t secondaryFn = 0x800000;
};

struct SystemEvent {
  // The most fields one event carries (a tablet point sets five).
  static constexpr size_t maxFields = 6;

  SystemEventType type = SystemEventType::mouseMoved;
  uint64_t flags = 0;

  // Keyboard and flags-changed events. The key code uses the client's virtual key numbering; the HID
  // usage (keyboard page) names the same key for posters that map physical keys, 0 when none. A
  // flags-changed event keeps the direction its key was created with.
  uint16_t keyCode = 0;
  uint16_t hidUsage = 0;
  bool keyDown = false;
  // Text a keyboard event carries in place of its key (UTF-16 code units); it is typed on the down.
  std::optional<std::u16string> unicodeString;

  // Mouse events: where, in global points, and the button number (0 left, 1 right, 2 other). The
  // display the location was mapped onto, when known (0: whichever holds it), tells a poster which
  // display's scale applies where displays of different scales overlap in points.
  ScreenPoint location;
  uint8_t mouseButton = 0;
  uint32_t displayID = 0;

  // Scroll-wheel events, in pixels: wheel 1 vertical (positive up), wheel 2 horizontal (positive left).
  int32_t wheel1 = 0;
  int32_t wheel2 = 0;

  void setField(EventField field, double value);
  std::optional<double> field(EventField field) const;
  size_t fieldCount() const { return fieldCount_; }

  static SystemEvent keyboard(uint16_t keyCode, uint16_t hidUsage, bool down);
  static SystemEvent mouse(SystemEventType type, ScreenPoint location, uint8_t button, uint32_t displayID = 0);
  static SystemEvent scroll(int32_t wheel1, int32_t wheel2);
  static SystemEvent ofType(SystemEventType type);

 private:
  struct FieldValue {
    EventField field{};
    double value = 0;
  };
  std::array<FieldValue, maxFields> fields_{};
  size_t fieldCount_ = 0;
};

bool isMouseEventType(SystemEventType type);

}  // namespace tavlo
