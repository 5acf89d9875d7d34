#include "platform/input/system_event.hpp"

namespace tavlo {

void SystemEvent::setField(EventField field, double value) {
  for (size_t i = 0; i < fieldCount_; ++i) {
    if (fields_[i].field == field) {
      fields_[i].value = value;
      return;
    }
  }
  // Every event the injector builds fits; a further field would be a programming error, not input.
  if (fieldCount_ < fields_.size()) fields_[fieldCount_++] = {field, value};
}

std::optional<double> SystemEvent::field(EventField field) const {
  for (size_t i = 0; i < fieldCount_; ++i) {
    if (fields_[i].field == field) return fields_[i].value;
  }
  return std::nullopt;
}

SystemEvent SystemEvent::keyboard(uint16_t keyCode, uint16_t hidUsage, bool down) {
  SystemEvent event;
  event.type = down ? SystemEventType::keyDown : SystemEventType::keyUp;
  event.keyCode = keyCode;
  event.hidUsage = hidUsage;
  event.keyDown = down;
  return event;
}

SystemEvent SystemEvent::mouse(SystemEventType type, ScreenPoint location, uint8_t button, uint32_t displayID) {
  SystemEvent event;
  event.displayID = displayID;
  event.type = type;
  event.location = location;
  event.mouseButton = button;
  return event;
}

SystemEvent SystemEvent::scroll(int32_t wheel1, int32_t wheel2) {
  SystemEvent event;
  event.type = SystemEventType::scrollWheel;
  event.wheel1 = wheel1;
  event.wheel2 = wheel2;
  return event;
}

SystemEvent SystemEvent::ofType(SystemEventType type) {
  SystemEvent event;
  event.type = type;
  return event;
}

bool isMouseEventType(SystemEventType type) {
  switch (type) {
    case SystemEventType::leftMouseDown:
    case SystemEventType::leftMouseUp:
    case SystemEventType::rightMouseDown:
    case SystemEventType::rightMouseUp:
    case SystemEventType::mouseMoved:
    case SystemEventType::leftMouseDragged:
    case SystemEventType::otherMouseDown:
    case SystemEventType::otherMouseUp:
      return true;
    default:
      return false;
  }
}

}  // namespace tavlo
