#pragma once
// Posts input events into an X server through XTEST, on a connection of its own.
//
// Keys are the physical keys of the HID usage each event names (found through the server's keymap,
// Command as Super); modifier changes press and release the modifier keys themselves. Pointer
// positions are turned from global points into root pixels with the scale of the RandR output that
// holds them. Scroll distances become wheel clicks (buttons 4 to 7), the remainder kept for the next
// scroll. Text is typed character by character through unused keycodes bound for the moment to each
// character's keysym; a keycode is checked before each use, so one that a keymap loaded meanwhile
// took is never overwritten.
//
// XTEST carries no pencil pressure, tilt or rotation and no gestures: tablet events are posted as
// plain pointer events and gesture events are dropped (carriesTabletData and carriesGestures say so).
// Permission to post is the server offering XTEST.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/input/clicking_event_poster.hpp"
#include "platform/input/spare_keycodes.hpp"
#include "platform/input/x_keycodes.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

class XTestPoster final : public ClickingEventPoster {
 public:
  // Connects to `display` (":N"; empty: $DISPLAY). Empty, with the reason in `error`, when the server
  // cannot be reached; a server without XTEST gives a poster without permission.
  static std::shared_ptr<XTestPoster> open(const std::string& display, std::string* error = nullptr);
  // Unbinds the keycodes it bound for text.
  ~XTestPoster() override;
  XTestPoster(const XTestPoster&) = delete;
  XTestPoster& operator=(const XTestPoster&) = delete;

  void flush() override;
  std::optional<ScreenRect> displayBounds(uint32_t displayID) override;
  std::optional<ScreenPoint> cursorPosition() override;
  void warpCursor(ScreenPoint point, uint32_t displayID) override;
  bool hasPermission() override { return xtest_; }
  bool requestPermission() override { return xtest_; }
  bool carriesTabletData() const override { return false; }
  bool carriesGestures() const override { return false; }

 private:
  struct Pixel {
    int16_t x = 0;
    int16_t y = 0;
  };

  explicit XTestPoster(std::unique_ptr<XcbConnection> connection);
  // Reads what the server sent: RandR changes make the geometry stale; nothing else is kept.
  void drainEvents();
  std::vector<OutputGeometry> outputs();
  // A keycode for the keysym, bound to it, held until released; empty when none is left.
  std::optional<uint8_t> leaseKeycodeFor(uint32_t keysym);
  Pixel toPixel(ScreenPoint point, uint32_t displayID);
  void fakeInput(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0);
  bool canPost() override { return xtest_; }
  void typeText(std::u16string_view text) override;
  void pressKey(uint16_t hidUsage, bool down) override;
  void movePointer(ScreenPoint point, uint32_t displayID) override;
  void pressButton(uint8_t mouseButton, bool down, ScreenPoint point, uint32_t displayID) override;
  void clickWheel(int64_t vertical, int64_t horizontal) override;
  void clickWheelButtons(uint8_t positiveButton, uint8_t negativeButton, int64_t clicks);

  const std::unique_ptr<XcbConnection> connection_;
  const bool xtest_;
  // Resolved once: a keymap loaded later keeps its keycode set (layouts change keysyms, not keycodes).
  const XKeycodes keycodes_;
  uint8_t randrFirstEvent_ = 0;  // 0: no RandR

  std::mutex mutex_;  // everything below
  std::vector<OutputGeometry> outputs_;
  bool geometryStale_ = true;
  SpareKeycodes spares_;
};

}  // namespace tavlo
