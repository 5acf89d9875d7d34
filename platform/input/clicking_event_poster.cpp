#include "platform/input/clicking_event_poster.hpp"

namespace tavlo {

void ClickingEventPoster::post(const SystemEvent& event) {
  if (!canPost()) return;
  switch (event.type) {
    case SystemEventType::keyDown:
    case SystemEventType::keyUp:
      // A text event types its text once, on its key-down.
      if (event.unicodeString) {
        if (event.type == SystemEventType::keyDown) typeText(*event.unicodeString);
      } else {
        pressKey(event.hidUsage, event.type == SystemEventType::keyDown);
      }
      return;
    case SystemEventType::flagsChanged:
      pressKey(event.hidUsage, event.keyDown);
      return;
    case SystemEventType::mouseMoved:
    case SystemEventType::leftMouseDragged:
      movePointer(event.location, event.displayID);
      return;
    case SystemEventType::leftMouseDown:
    case SystemEventType::rightMouseDown:
    case SystemEventType::otherMouseDown:
      pressButton(event.mouseButton, true, event.location, event.displayID);
      return;
    case SystemEventType::leftMouseUp:
    case SystemEventType::rightMouseUp:
    case SystemEventType::otherMouseUp:
      pressButton(event.mouseButton, false, event.location, event.displayID);
      return;
    case SystemEventType::scrollWheel: {
      int64_t vertical, horizontal;
      {
        std::lock_guard lock(mutex_);
        vertical = vertical_.add(event.wheel1);
        horizontal = horizontal_.add(event.wheel2);
      }
      if (vertical || horizontal) clickWheel(vertical, horizontal);
      return;
    }
    case SystemEventType::gesture:
      return;
  }
}

}  // namespace tavlo
