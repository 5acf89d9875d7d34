#pragma once
// Posts input events into a GNOME desktop through mutter's remote-desktop sessions: the session of
// the virtual display an event lands on (mutter takes input only from a session with a screen-cast
// session linked to it, and only for its own streams).
//
// Pointer positions go to the display's stream in its pictures' pixels; buttons and keys as evdev
// codes (keys found by the HID usage each event names, Command as Super); modifier changes press and
// release the modifier keys themselves; text is typed as keysyms, character by character; scroll
// distances become wheel clicks, the remainder kept for the next scroll. Keys go through the session
// of the display the pointer was last on. Pencil pressure, tilt and gestures do not pass this
// interface: tablet events act as plain pointer events and gestures are dropped.
//
// The pointer's position is the one mutter describes in the stream's cursor metadata, or else the one
// last posted. Events for a display that is gone, or with no display under them, are dropped.
#include <memory>
#include <mutex>

#include "platform/gnome/mutter_display_system.hpp"
#include "platform/gnome/screen_cast_frames.hpp"
#include "platform/input/clicking_event_poster.hpp"

namespace tavlo {

class MutterEventPoster final : public ClickingEventPoster {
 public:
  MutterEventPoster(std::shared_ptr<MutterDisplaySystem> displays, std::shared_ptr<ScreenCastFrames> frames,
                    std::shared_ptr<BusConnection> bus);

  void flush() override;
  std::optional<ScreenRect> displayBounds(uint32_t displayID) override;
  std::optional<ScreenPoint> cursorPosition() override;
  void warpCursor(ScreenPoint point, uint32_t displayID) override;
  bool hasPermission() override;
  bool requestPermission() override { return hasPermission(); }
  bool carriesTabletData() const override { return false; }
  bool carriesGestures() const override { return false; }

 private:
  void typeText(std::u16string_view text) override;
  void pressKey(uint16_t hidUsage, bool down) override;
  void movePointer(ScreenPoint point, uint32_t displayID) override { moveTo(point, displayID); }
  void pressButton(uint8_t mouseButton, bool down, ScreenPoint point, uint32_t displayID) override;
  void clickWheel(int64_t vertical, int64_t horizontal) override;
  // Moves the pointer there; the session it went through, or null when no display takes it.
  std::shared_ptr<MutterRemoteSession> moveTo(ScreenPoint point, uint32_t displayID);
  std::shared_ptr<MutterRemoteSession> keyboardSession();

  const std::shared_ptr<MutterDisplaySystem> displays_;
  const std::shared_ptr<ScreenCastFrames> frames_;
  const std::shared_ptr<BusConnection> bus_;

  std::mutex mutex_;  // guards the fields below
  std::weak_ptr<MutterRemoteSession> lastSession_;
  std::optional<ScreenPoint> lastPosition_;
};

}  // namespace tavlo
