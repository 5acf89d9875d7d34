#pragma once
// Posts the client's input as the desktop's own input events on the streamed display.
//
// One injector per session, made when the session's display exists and bound to it with setDisplay
// (again after every display change). Normalised client coordinates (0…65,535) map onto the display's
// current bounds in the global point space, or onto the client's coordinate space of that size when
// the session gives one. The injector keeps keys, modifier keys and the left button consistent between
// the client and this machine, marks key repeats, carries pencil pressure and tilt as tablet data,
// and can release everything it holds.
//
// Wire floats are checked before use: a scroll, relative move or pinch whose numbers are not finite
// is dropped with a log line and moves nothing.
//
// The reliable and unreliable input loops call inject() from two threads; the lock-screen and teardown
// paths call the typing and release operations from others. The state lock is never held while an
// event is posted or a line logged.
#include <atomic>
#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "hostcore/engines/input_event.hpp"
#include "platform/input/event_poster.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/system_log.hpp"

namespace vela {

class InputInjector;
// How a session makes the injector of each hello (the owner decides where events go).
using InputInjectorFactory = std::function<std::shared_ptr<InputInjector>()>;

class InputInjector {
 public:
  // Events go to `poster`; `clock` gives the uptime of lastOptionClickNs. Starts bound to no display.
  explicit InputInjector(std::shared_ptr<tavlo::EventPoster> poster,
                         const tavlo::Clock& clock = tavlo::SteadyClock::shared());
  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  void setOnLog(tavlo::LogSink onLog);

  // Posts the event; never fails visibly.
  void inject(const InputEvent& event);
  // Binds to a display and the client's coordinate space on it (points; 0: the display's own size).
  void setDisplay(uint32_t id, int64_t pointsWidth, int64_t pointsHeight);
  // Types each character of the text as a key press and release, then Return (the lock screen's
  // password).
  void typeUnlockSequence(const std::string& text);

  // Releases the keys, modifiers and the left button (or pencil) the injector holds.
  void releaseAll();
  // Posts left, right and other button releases at the cursor, held or not.
  void releaseAllButtons();
  // Forgets held keys, releases all eight modifier keys and every button, whatever was held.
  void resetToCleanBaseline();

  bool isLeftButtonDown() const;

  // Whether this process may post events on the poster's system, and a request for it.
  bool hasPermission() const;
  bool requestPermission() const;

  // Uptime in nanoseconds of the last client click carrying an Option modifier (0: none yet), shared
  // by every injector of the process; the status menu treats Option as held shortly after it.
  static uint64_t lastOptionClickNs();

  // Bound display and its last known bounds, for diagnostics and tests.
  uint32_t displayID() const;
  tavlo::ScreenRect displayBounds() const;

 private:
  struct ModifierPlan {
    uint8_t release = 0;  // bits: positions in the modifier key table
    uint8_t press = 0;
  };

  void handleKey(const KeyEvent& event);
  void handleText(const TextInput& event);
  void handleButton(const PointerButton& event);
  void handleScroll(const ScrollEvent& event);
  void handleMove(const PointerMoveBatch& event);
  void handleRelativeMove(const PointerMoveRelative& event);
  void handlePencilBatch(const PencilSampleBatch& event);
  void handlePencilDiscrete(const PencilDiscrete& event);
  void handlePinch(const PinchEvent& event);

  // The display's current bounds, with the client's coordinate space in place of its size when set.
  tavlo::ScreenRect currentBounds();
  tavlo::ScreenPoint cursorOr(tavlo::ScreenPoint fallback);
  tavlo::ScreenPoint cursorOrDisplayMiddle();
  void reconcileModifiers(KeyModifiers modifiers, uint64_t flags);
  void postTablet(const PencilSample& sample, tavlo::SystemEventType type, const tavlo::ScreenRect& bounds);
  void noteOptionClick();
  void noteTabletGap();
  void noteDroppedFloats(const char* what);
  void noteOnce(bool InputInjector::*noted, const char* line);
  void log(const std::string& line);

  const std::shared_ptr<tavlo::EventPoster> poster_;
  const tavlo::Clock& clock_;

  mutable std::mutex lock_;  // everything below
  tavlo::LogSink onLog_;
  tavlo::ScreenRect displayBounds_;
  uint32_t displayID_ = 0;
  double authWidth_ = 0;
  double authHeight_ = 0;
  uint64_t flags_ = 0;
  bool penDown_ = false;
  bool leftButtonDown_ = false;
  uint8_t injectedMods_ = 0;      // bits: positions in the modifier key table
  std::bitset<128> downKeys_;     // non-modifier key codes held down (every key code is below 128)
  uint64_t droppedFloatEvents_ = 0;
  bool tabletGapNoted_ = false;
  bool gestureGapNoted_ = false;

  static std::atomic<uint64_t> lastOptionClickNs_;
};

}  // namespace vela
