#include "platform/input/recording_poster.hpp"

#include <utility>

namespace tavlo {

void RecordingPoster::post(const SystemEvent& event) {
  std::lock_guard lock(mutex_);
  events_.push_back(event);
  if (isMouseEventType(event.type) && cursor_) cursor_ = event.location;
}

void RecordingPoster::flush() {
  std::lock_guard lock(mutex_);
  ++flushes_;
}

std::optional<ScreenRect> RecordingPoster::displayBounds(uint32_t displayID) {
  std::lock_guard lock(mutex_);
  auto it = displays_.find(displayID);
  if (it == displays_.end()) return std::nullopt;
  return it->second;
}

std::optional<ScreenPoint> RecordingPoster::cursorPosition() {
  std::lock_guard lock(mutex_);
  return cursor_;
}

void RecordingPoster::warpCursor(ScreenPoint point, uint32_t /*displayID*/) {
  std::lock_guard lock(mutex_);
  warps_.push_back(point);
  if (cursor_) cursor_ = point;
}

bool RecordingPoster::hasPermission() {
  std::lock_guard lock(mutex_);
  return permission_;
}

bool RecordingPoster::requestPermission() { return hasPermission(); }

void RecordingPoster::setDisplayBounds(uint32_t displayID, std::optional<ScreenRect> bounds) {
  std::lock_guard lock(mutex_);
  if (bounds) {
    displays_[displayID] = *bounds;
  } else {
    displays_.erase(displayID);
  }
}

void RecordingPoster::setCursorPosition(std::optional<ScreenPoint> point) {
  std::lock_guard lock(mutex_);
  cursor_ = point;
}

void RecordingPoster::setPermission(bool granted) {
  std::lock_guard lock(mutex_);
  permission_ = granted;
}

std::vector<SystemEvent> RecordingPoster::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<SystemEvent> RecordingPoster::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(events_, {});
}

std::vector<ScreenPoint> RecordingPoster::warps() const {
  std::lock_guard lock(mutex_);
  return warps_;
}

int RecordingPoster::flushCount() const {
  std::lock_guard lock(mutex_);
  return flushes_;
}

}  // namespace tavlo
