#pragma once
// A poster for an input stream of keys, a pointer, buttons and a wheel that only clicks (XTEST on Xorg,
// mutter's remote desktop): which kind of event takes which operation is decided once here, and the
// scroll distances become whole clicks, the part of a click left over kept for the next scroll. Each
// stream gives the operations themselves.
#include <cstdint>
#include <mutex>
#include <string_view>

#include "platform/input/event_poster.hpp"
#include "platform/input/wheel_accumulator.hpp"

namespace tavlo {

class ClickingEventPoster : public EventPoster {
 public:
  void post(const SystemEvent& event) final;

 protected:
  // Whether the stream takes events at all; a poster without it drops every one.
  virtual bool canPost() { return true; }
  virtual void typeText(std::u16string_view text) = 0;
  virtual void pressKey(uint16_t hidUsage, bool down) = 0;
  // Moves the pointer there (a button's press or release goes where it happened).
  virtual void movePointer(ScreenPoint point, uint32_t displayID) = 0;
  // Moves the pointer there and presses or releases the button (SystemEvent's numbering).
  virtual void pressButton(uint8_t mouseButton, bool down, ScreenPoint point, uint32_t displayID) = 0;
  // Whole wheel clicks, positive up and left, either possibly 0 (never both).
  virtual void clickWheel(int64_t vertical, int64_t horizontal) = 0;

 private:
  std::mutex mutex_;  // the accumulators: scrolls may come from several threads
  WheelAccumulator vertical_;
  WheelAccumulator horizontal_;
};

}  // namespace tavlo
