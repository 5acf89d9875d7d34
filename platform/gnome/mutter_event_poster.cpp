#include "platform/gnome/mutter_event_poster.hpp"

#include "platform/gnome/mutter_pointer_mapping.hpp"
#include "platform/input/hid_evdev_keys.hpp"
#include "platform/input/text_keysyms.hpp"

namespace tavlo {
namespace {

// Mutter's discrete scroll axes; positive steps scroll down or right.
constexpr uint32_t kVerticalAxis = 0, kHorizontalAxis = 1;

}  // namespace

MutterEventPoster::MutterEventPoster(std::shared_ptr<MutterDisplaySystem> displays,
                                     std::shared_ptr<ScreenCastFrames> frames, std::shared_ptr<BusConnection> bus)
    : displays_(std::move(displays)), frames_(std::move(frames)), bus_(std::move(bus)) {}

std::optional<ScreenRect> MutterEventPoster::displayBounds(uint32_t displayID) {
  const auto bounds = displays_->bounds(displayID);
  const auto mode = displays_->currentMode(displayID);
  if (!bounds || !mode || mode->width <= 0 || mode->height <= 0) return std::nullopt;
  return ScreenRect{static_cast<double>(bounds->x), static_cast<double>(bounds->y), static_cast<double>(mode->width),
                    static_cast<double>(mode->height)};
}

std::shared_ptr<MutterRemoteSession> MutterEventPoster::moveTo(ScreenPoint point, uint32_t displayID) {
  if (displayID == 0) {
    for (DisplayId id : displays_->virtualDisplays()) {
      const auto rect = displayBounds(id);
      if (rect && rect->contains(point)) displayID = id;
    }
  }
  const auto rect = displayID ? displayBounds(displayID) : std::nullopt;
  const auto target = rect ? displays_->inputTarget(displayID) : std::nullopt;
  if (!target) return nullptr;
  const auto position = streamPosition(*rect, target->pixels, point);
  if (!position) return nullptr;
  target->session->pointerMotionAbsolute(target->stream, position->x, position->y);
  std::lock_guard lock(mutex_);
  lastSession_ = target->session;
  lastPosition_ = globalPoint(*rect, target->pixels, *position);
  return target->session;
}

std::shared_ptr<MutterRemoteSession> MutterEventPoster::keyboardSession() {
  {
    std::lock_guard lock(mutex_);
    if (auto session = lastSession_.lock(); session && session->alive()) return session;
  }
  for (DisplayId id : displays_->virtualDisplays()) {
    if (auto target = displays_->inputTarget(id)) return target->session;
  }
  return nullptr;
}

void MutterEventPoster::pressKey(uint16_t hidUsage, bool down) {
  const HidEvdevKey* key = hidEvdevKey(hidUsage);
  auto session = key ? keyboardSession() : nullptr;
  if (session) session->keyboardKeycode(key->evdevCode, down);
}

void MutterEventPoster::typeText(std::u16string_view text) {
  auto session = keyboardSession();
  if (!session) return;
  for (char32_t c : codePointsOf(text)) {
    const uint32_t keysym = keysymForCodePoint(c);
    if (keysym == 0) continue;
    session->keyboardKeysym(keysym, true);
    session->keyboardKeysym(keysym, false);
  }
}

void MutterEventPoster::pressButton(uint8_t mouseButton, bool down, ScreenPoint point, uint32_t displayID) {
  auto session = moveTo(point, displayID);
  if (const int32_t button = evdevButton(mouseButton); session && button) session->pointerButton(button, down);
}

void MutterEventPoster::clickWheel(int64_t vertical, int64_t horizontal) {
  auto session = keyboardSession();
  if (!session) return;
  // The wheel's clicks count up and left; mutter's steps count down and right.
  if (vertical) session->pointerAxisDiscrete(kVerticalAxis, static_cast<int32_t>(-vertical));
  if (horizontal) session->pointerAxisDiscrete(kHorizontalAxis, static_cast<int32_t>(-horizontal));
}

void MutterEventPoster::flush() { bus_->flush(); }

std::optional<ScreenPoint> MutterEventPoster::cursorPosition() {
  for (DisplayId id : displays_->virtualDisplays()) {
    auto stream = frames_->lookup(id);
    if (!stream) continue;
    const ScreenCursor cursor = stream->cursor();
    const auto rect = cursor.visible ? displayBounds(id) : std::nullopt;
    const PixelSize pixels = stream->negotiatedSize();
    if (rect && pixels.width > 0) {
      return globalPoint(*rect, pixels, {static_cast<double>(cursor.x), static_cast<double>(cursor.y)});
    }
  }
  std::lock_guard lock(mutex_);
  return lastPosition_;
}

void MutterEventPoster::warpCursor(ScreenPoint point, uint32_t displayID) {
  moveTo(point, displayID);
  flush();
}

bool MutterEventPoster::hasPermission() { return bus_->connected(); }

}  // namespace tavlo
