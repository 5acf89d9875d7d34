// The input injector on a recording poster: which events the client's input becomes, in which order,
// with which fields and flags.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <limits>
#include <thread>

#include "hostcore/engines/input_injector.hpp"
#include "platform/input/recording_poster.hpp"

namespace vela {
namespace {

using tavlo::EventField;
using tavlo::RecordingPoster;
using tavlo::ScreenPoint;
using tavlo::ScreenRect;
using tavlo::SystemEvent;
using tavlo::SystemEventType;

// Shortest text that reads back as the same double.
std::string num(double value) {
  char text[32];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::string hex(uint16_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", code);
  return text;
}

// One line per event: kind, direction and key code, or mouse type and position.
std::string describe(const SystemEvent& e) {
  switch (e.type) {
    case SystemEventType::keyDown:
    case SystemEventType::keyUp:
      return std::string("key") + (e.keyDown ? "↓" : "↑") + hex(e.keyCode) +
             (e.field(EventField::keyboardAutorepeat) ? " repeat" : "");
    case SystemEventType::flagsChanged:
      return std::string("mod") + (e.keyDown ? "↓" : "↑") + hex(e.keyCode);
    case SystemEventType::scrollWheel:
      return "scroll(" + std::to_string(e.wheel1) + "," + std::to_string(e.wheel2) + ")";
    case SystemEventType::gesture:
      return "gesture phase " + num(e.field(EventField::gesturePhase).value_or(-1));
    default:
      return "mouse" + std::to_string(int(e.type)) + " b" + std::to_string(e.mouseButton) + " @(" +
             num(e.location.x) + "," + num(e.location.y) + ")";
  }
}

std::vector<std::string> describe(const std::vector<SystemEvent>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(describe(e));
  return out;
}

using Lines = std::vector<std::string>;

KeyEvent key(uint16_t usage, bool down, KeyModifiers modifiers = {}) {
  KeyEvent e;
  e.down = down;
  e.hidUsagePage = 0x07;
  e.hidUsage = usage;
  e.modifiers = modifiers;
  return e;
}

PointerButton button(uint8_t which, bool down, uint16_t x, uint16_t y, uint16_t clicks = 1, KeyModifiers mods = {}) {
  PointerButton b;
  b.button = which;
  b.down = down;
  b.clickCount = clicks;
  b.xNorm = x;
  b.yNorm = y;
  b.modifiers = mods;
  return b;
}

PencilSample pencil(uint16_t x, uint16_t y, uint16_t altitude = 65535, uint16_t azimuth = 0) {
  PencilSample s;
  s.xNorm = x;
  s.yNorm = y;
  s.altitude = altitude;
  s.azimuth = azimuth;
  return s;
}

class InputInjectorTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kDisplay = 7;
  static constexpr ScreenRect kBounds{100, 50, 1000, 500};

  InputInjectorTest() {
    poster->setDisplayBounds(kDisplay, kBounds);
    poster->setCursorPosition(ScreenPoint{300, 200});
    injector.setOnLog([this](const std::string& line) { log.push_back(line); });
    injector.setDisplay(kDisplay, 0, 0);
  }

  Lines inject(const InputEvent& event) {
    injector.inject(event);
    return describe(poster->take());
  }

  std::shared_ptr<RecordingPoster> poster = std::make_shared<RecordingPoster>();
  tavlo::FakeClock clock;
  InputInjector injector{poster, clock};
  Lines log;
};

TEST_F(InputInjectorTest, ASecondDownWithoutAnUpIsAnAutorepeatUntilTheKeyGoesUp) {
  EXPECT_EQ(inject(key(0x04, true)), Lines{"key↓0x00"});
  EXPECT_EQ(inject(key(0x04, true)), Lines{"key↓0x00 repeat"});
  EXPECT_EQ(inject(key(0x04, false)), Lines{"key↑0x00"});
  EXPECT_EQ(inject(key(0x04, true)), Lines{"key↓0x00"});
  EXPECT_EQ(poster->flushCount(), 4);  // every injected event reaches the system at once
}

TEST_F(InputInjectorTest, ModifiersArePressedBeforeTheKeyAndReleasedAtTheNextKeyWithoutThem) {
  EXPECT_EQ(inject(key(0x05, true, KeyModifiers::leftShift)), (Lines{"mod↓0x38", "key↓0x0b"}));
  EXPECT_EQ(inject(key(0x05, false, KeyModifiers::leftShift)), Lines{"key↑0x0b"});
  // Releases go first, then presses, in the table's order (command before shift before option).
  EXPECT_EQ(inject(key(0x06, true, KeyModifiers::rightOption | KeyModifiers::leftCmd)),
            (Lines{"mod↑0x38", "mod↓0x37", "mod↓0x3d", "key↓0x08"}));
  // A modifier key's own event posts only the reconciliation; a key without a code posts nothing more.
  EXPECT_EQ(inject(key(0xE3, false, KeyModifiers::rightOption)), Lines{"mod↑0x37"});
  EXPECT_EQ(inject(key(0x32, true, KeyModifiers::rightOption)), Lines{});
}

TEST_F(InputInjectorTest, KeyFlagsFollowTheModifiersAndMarkNavigationKeys) {
  struct Row {
    uint16_t usage;
    KeyModifiers modifiers;
    uint64_t flags;
  };
  const Row rows[] = {
      {0x50, KeyModifiers::leftShift, 0x20000 | 0xA00000},       // left arrow: function key of the pad
      {0x4A, {}, 0x800000},                                      // Home: function key
      {0x04, KeyModifiers::rightCmd | KeyModifiers::capsLock, 0x100000 | 0x10000},
      {0x04, KeyModifiers::leftCtrl | KeyModifiers::fn, 0x40000 | 0x800000},
  };
  for (const auto& row : rows) {
    injector.inject(key(row.usage, true, row.modifiers));
    EXPECT_EQ(poster->take().back().flags, row.flags) << row.usage;
  }
}

TEST_F(InputInjectorTest, ButtonsMapOntoTheDisplayOrGoToTheCursorAtTheOrigin) {
  EXPECT_EQ(inject(button(0, true, 65535, 32768)), Lines{"mouse1 b0 @(1100,300.0038147554742)"});
  EXPECT_TRUE(injector.isLeftButtonDown());
  EXPECT_EQ(inject(button(0, false, 0, 0)), Lines{"mouse2 b0 @(1100,300.0038147554742)"});  // at the cursor
  EXPECT_FALSE(injector.isLeftButtonDown());
  poster->setCursorPosition(std::nullopt);
  EXPECT_EQ(inject(button(1, true, 0, 0)), Lines{"mouse3 b1 @(600,300)"});  // the display's middle
  EXPECT_EQ(inject(button(2, true, 0, 0)), Lines{"mouse25 b2 @(600,300)"});
  // An unknown button acts as the left one without holding it.
  EXPECT_EQ(inject(button(9, true, 0, 0)), Lines{"mouse1 b0 @(600,300)"});
  EXPECT_FALSE(injector.isLeftButtonDown());
}

TEST_F(InputInjectorTest, ADoubleClickSetsClickStateTwoAndASingleLeavesItUnset) {
  injector.inject(button(0, true, 100, 100, 2));
  injector.inject(button(0, true, 100, 100, 1));
  const auto events = poster->take();
  EXPECT_EQ(events[0].field(EventField::clickState), 2.0);
  EXPECT_EQ(events[1].field(EventField::clickState), std::nullopt);
}

TEST_F(InputInjectorTest, AClickWithModifiersHoldsThemAroundTheClickOnly) {
  injector.inject(key(0x04, true, KeyModifiers::leftShift));  // flags of the last key event
  poster->take();
  EXPECT_EQ(inject(button(1, true, 0, 0, 1, KeyModifiers::leftShift | KeyModifiers::rightCmd)),
            (Lines{"mod↓0x36", "mouse3 b1 @(300,200)"}));
  EXPECT_EQ(inject(button(1, false, 0, 0, 1, KeyModifiers::rightCmd)),
            (Lines{"mouse4 b1 @(300,200)", "mod↑0x36", "mod↑0x38"}));
  EXPECT_EQ(log, Lines{"🔀 klik z modyfikatorami raw=130"});
  EXPECT_EQ(InputInjector::lastOptionClickNs(), 0u);

  injector.inject(button(0, true, 0, 0, 1, KeyModifiers::leftOption));
  EXPECT_EQ(poster->take().back().flags, 0x20000u | 0x80000u);  // the stored shift and the click's option
  EXPECT_EQ(InputInjector::lastOptionClickNs(), clock.nowUs() * 1000);
}

TEST_F(InputInjectorTest, MovesMapOntoTheDisplayOrTheClientSpaceAndDragWhileTheLeftButtonIsHeld) {
  PointerMoveBatch batch;
  batch.samples = {{0, 0, 0}, {65535, 65535, 8}};
  injector.inject(batch);
  const auto moves = poster->take();
  EXPECT_EQ(describe(moves), (Lines{"mouse5 b0 @(100,50)", "mouse5 b0 @(1100,550)"}));
  EXPECT_EQ(moves[1].displayID, kDisplay);  // the poster knows whose scale applies
  injector.setDisplay(kDisplay, 500, 250);
  injector.inject(button(0, true, 65535, 65535));
  poster->take();
  EXPECT_EQ(inject(batch), (Lines{"mouse6 b0 @(100,50)", "mouse6 b0 @(600,300)"}));
  // A display that moved is followed at the next event.
  poster->setDisplayBounds(kDisplay, ScreenRect{2000, 0, 800, 600});
  EXPECT_EQ(inject(batch), (Lines{"mouse6 b0 @(2000,0)", "mouse6 b0 @(2500,250)"}));
}

TEST_F(InputInjectorTest, RelativeMovesStopAtTheDisplaysEdges) {
  struct Row {
    float dx, dy;
    const char* to;
  };
  const Row rows[] = {
      {0.1f, 0.1f, "mouse5 b0 @(400.0000014901161,250.00000074505806)"},
      {5.0f, 0.0f, "mouse5 b0 @(1099,250.00000074505806)"},   // past the right edge: maxX - 1
      {-5.0f, -5.0f, "mouse5 b0 @(100,50)"},                  // past the top-left corner
      {1e30f, 1e30f, "mouse5 b0 @(1099,549)"},
  };
  for (const auto& row : rows) EXPECT_EQ(inject(PointerMoveRelative{row.dx, row.dy, 0}), Lines{row.to});
}

TEST_F(InputInjectorTest, PencilTiltFollowsAltitudeAndAzimuth) {
  struct Row {
    uint16_t altitude, azimuth;
    double tiltX, tiltY;
  };
  const Row rows[] = {
      {0, 0, 1, 0},          // flat on the surface: full tilt
      {65535, 0, 0, 0},      // upright: none
      {0, 16384, 0, 1},      // a quarter turn: along Y
      {32768, 32768, -0.5, 0},
  };
  for (const auto& row : rows) {
    PencilSampleBatch batch;
    auto sample = pencil(0, 0, row.altitude, row.azimuth);
    sample.force = 65535;
    sample.roll = -32767;
    batch.samples = {sample};
    injector.inject(batch);
    const auto event = poster->take().at(0);
    EXPECT_NEAR(*event.field(EventField::tabletTiltX), row.tiltX, 1e-4) << row.altitude << "/" << row.azimuth;
    EXPECT_NEAR(*event.field(EventField::tabletTiltY), row.tiltY, 1e-4) << row.altitude << "/" << row.azimuth;
    EXPECT_EQ(event.field(EventField::mouseSubtype), 1.0);
    EXPECT_EQ(event.field(EventField::tabletPressure), 1.0);
    EXPECT_EQ(event.field(EventField::tabletRotation), -180.0);
  }
}

TEST_F(InputInjectorTest, PencilTouchDragsAndProximityIsIgnored) {
  PencilSampleBatch batch;
  batch.samples = {pencil(0, 0)};
  EXPECT_EQ(inject(PencilDiscrete{PencilDiscrete::Kind::proximityEnter, pencil(0, 0), 0}), Lines{});
  EXPECT_EQ(inject(batch), Lines{"mouse5 b0 @(100,50)"});
  EXPECT_EQ(inject(PencilDiscrete{PencilDiscrete::Kind::down, pencil(0, 0), 0}), Lines{"mouse1 b0 @(100,50)"});
  EXPECT_EQ(inject(PencilDiscrete{PencilDiscrete::Kind::barrelSqueeze, pencil(0, 0), 0}), Lines{});
  EXPECT_EQ(inject(batch), Lines{"mouse6 b0 @(100,50)"});
  EXPECT_EQ(inject(PencilDiscrete{PencilDiscrete::Kind::up, pencil(0, 0), 0}), Lines{"mouse2 b0 @(100,50)"});
  EXPECT_EQ(inject(batch), Lines{"mouse5 b0 @(100,50)"});
  EXPECT_TRUE(log.empty());  // this poster carries tablet data
}

TEST_F(InputInjectorTest, APinchWarpsOnceWhenItBeginsAndPostsItsPhases) {
  EXPECT_EQ(inject(PinchEvent{0.25f, ScrollPhase::began, 65535, 0, 0, 0}), Lines{"gesture phase 1"});
  EXPECT_EQ(inject(PinchEvent{0.5f, ScrollPhase::changed, 0, 0, 0, 0}), Lines{"gesture phase 2"});
  EXPECT_EQ(inject(PinchEvent{0, ScrollPhase::ended, 0, 0, 0, 0}), Lines{"gesture phase 4"});
  EXPECT_EQ(inject(PinchEvent{0, ScrollPhase::cancelled, 0, 0, 0, 0}), Lines{"gesture phase 4"});
  EXPECT_EQ(poster->warps(), std::vector<ScreenPoint>{ScreenPoint(1100, 50)});
  injector.inject(PinchEvent{0.5f, ScrollPhase::changed, 0, 0, 0, 0});
  const auto gesture = poster->take().at(0);
  EXPECT_EQ(gesture.field(EventField::gestureHIDType), 8.0);
  EXPECT_EQ(gesture.field(EventField::gestureZoomValue), 0.5);
}

TEST_F(InputInjectorTest, TheCleanBaselineReleasesEveryModifierAndButtonEvenWhenNothingIsHeld) {
  injector.resetToCleanBaseline();
  EXPECT_EQ(describe(poster->take()),
            (Lines{"mod↑0x37", "mod↑0x36", "mod↑0x38", "mod↑0x3c", "mod↑0x3a", "mod↑0x3d", "mod↑0x3b", "mod↑0x3e",
                   "mouse2 b0 @(300,200)", "mouse4 b1 @(300,200)", "mouse26 b2 @(300,200)"}));
  // Held keys are forgotten without key-ups: a later down is not a repeat.
  injector.inject(key(0x04, true, KeyModifiers::leftShift));
  injector.resetToCleanBaseline();
  poster->take();
  EXPECT_EQ(inject(key(0x04, true)), Lines{"key↓0x00"});
}

TEST_F(InputInjectorTest, ReleaseAllLetsGoOfKeysModifiersTheLeftButtonAndThePencil) {
  injector.inject(key(0x04, true, KeyModifiers::leftCtrl));
  injector.inject(key(0x52, true, KeyModifiers::leftCtrl));
  injector.inject(button(0, true, 0, 0));
  poster->take();
  injector.releaseAll();
  EXPECT_EQ(describe(poster->take()), (Lines{"key↑0x00", "key↑0x7e", "mod↑0x3b", "mouse2 b0 @(300,200)"}));
  EXPECT_FALSE(injector.isLeftButtonDown());
  injector.releaseAll();
  EXPECT_EQ(describe(poster->take()), Lines{});  // nothing held any more
  // A pencil still touching holds the left button too.
  injector.inject(PencilDiscrete{PencilDiscrete::Kind::down, pencil(0, 0), 0});
  poster->take();
  injector.releaseAll();
  EXPECT_EQ(describe(poster->take()), Lines{"mouse2 b0 @(100,50)"});
}

TEST_F(InputInjectorTest, TextIsOneKeyEventWithTheWholeStringAndTheUnlockSequenceTypesEachCharacter) {
  injector.inject(TextInput{"zażółć 😀"});
  const auto text = poster->take();
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(text[0].type, SystemEventType::keyDown);
  EXPECT_EQ(text[0].unicodeString, u"zażółć 😀");

  injector.typeUnlockSequence("ż😀");
  const auto typed = poster->take();
  ASSERT_EQ(describe(typed), (Lines{"key↓0x00", "key↑0x00", "key↓0x00", "key↑0x00", "key↓0x24", "key↑0x24"}));
  EXPECT_EQ(typed[0].unicodeString, u"ż");
  EXPECT_EQ(typed[3].unicodeString, u"😀");  // one scalar, two UTF-16 units
  EXPECT_EQ(typed[4].unicodeString, std::nullopt);
  EXPECT_EQ(typed[4].hidUsage, 0x28);
}

TEST_F(InputInjectorTest, NonFiniteWireFloatsAreDroppedAndNeverMoveThePointer) {
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr float inf = std::numeric_limits<float>::infinity();
  const InputEvent bad[] = {
      ScrollEvent{nan, 1},
      ScrollEvent{0, -inf},
      PointerMoveRelative{nan, 0, 0},
      PointerMoveRelative{0.1f, inf, 0},
      PinchEvent{nan, ScrollPhase::began, 100, 100, 0, 0},
      PinchEvent{-inf, ScrollPhase::changed, 0, 0, 0, 0},
  };
  for (const auto& event : bad) injector.inject(event);
  EXPECT_EQ(describe(poster->take()), Lines{});
  EXPECT_TRUE(poster->warps().empty());
  EXPECT_EQ(poster->cursorPosition(), ScreenPoint(300, 200));
  ASSERT_EQ(log.size(), 1u);  // logged once, not per event
  EXPECT_TRUE(log[0].starts_with("⚠️ wejście: odrzucono przewinięcie")) << log[0];

  // Finite deltas beyond the 32-bit range saturate; the rest truncate toward zero.
  EXPECT_EQ(inject(ScrollEvent{3e12f, -3e12f}), Lines{"scroll(-2147483648,2147483647)"});
  EXPECT_EQ(inject(ScrollEvent{-1.9f, 2.9f}), Lines{"scroll(2,-1)"});
}

TEST_F(InputInjectorTest, TheInputLoopsAndTheTeardownMayCallAtOnce) {
  std::thread reliable([&] {
    for (int i = 0; i < 500; ++i) {
      injector.inject(key(0x04, i % 2 == 0, KeyModifiers::leftShift));
      injector.inject(button(0, i % 2 == 0, 100, 100));
    }
  });
  std::thread unreliable([&] {
    PointerMoveBatch batch;
    batch.samples = {{1000, 1000, 0}};
    for (int i = 0; i < 500; ++i) injector.inject(batch);
  });
  for (int i = 0; i < 50; ++i) injector.releaseAll();
  reliable.join();
  unreliable.join();
  injector.releaseAll();
  poster->take();
  injector.releaseAll();
  EXPECT_EQ(describe(poster->take()), Lines{});  // nothing is left held
}

TEST(InputInjector, APosterWithoutTabletDataOrGesturesIsNotedOnceAndUnboundMappingUsesTheOrigin) {
  auto poster = std::make_shared<RecordingPoster>(RecordingPoster::Capabilities{false, false});
  InputInjector injector(poster);
  Lines log;
  injector.setOnLog([&](const std::string& line) { log.push_back(line); });
  PencilSampleBatch batch;
  batch.samples = {pencil(65535, 65535)};
  for (int i = 0; i < 3; ++i) {
    injector.inject(batch);
    injector.inject(PinchEvent{0.1f, ScrollPhase::began, 65535, 65535, 0, 0});
  }
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[0].starts_with("🖊")) << log[0];
  EXPECT_TRUE(log[1].starts_with("🤏")) << log[1];
  // No display bound: coordinates collapse onto the zero rectangle's origin.
  EXPECT_EQ(poster->warps().at(0), ScreenPoint(0, 0));
  EXPECT_EQ(injector.displayID(), 0u);
}

}  // namespace
}  // namespace vela
