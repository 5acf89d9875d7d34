// Input intake: the decode table, the host shortcuts and the scale commit, the log and activity
// throttles, the flow-bind keepalive that arms the wedge check, and the held text-focus notice.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "hostcore/engines/input_injector.hpp"
#include "hostcore/session/host_shortcut_matcher.hpp"
#include "hostcore/session/input_decoding.hpp"
#include "hostcore/session/input_log_lines.hpp"
#include "protocol/flow_bind.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

using testkit::SessionRig;

constexpr KeyModifiers ctrlOptCmd{0x1 | 0x4 | 0x8};

KeyEvent key(uint16_t usage, bool down, KeyModifiers mods = {}) { return KeyEvent{down, 0x07, usage, mods, 0}; }

template <WirePayload T>
Bytes packet(const T& record) {
  return encodePacket(record, 0, 0);
}

std::optional<InputEvent::Kind> decodedKind(const Bytes& bytes) {
  auto event = decodeInput(RawPacket::decode(bytes));
  return event ? std::optional(event->kind()) : std::nullopt;
}

TEST(InputDecoding, EachListedRecordDecodesAndEverythingElseIsNoEvent) {
  using K = InputEvent::Kind;
  EXPECT_EQ(decodedKind(packet(key(4, true))), K::key);
  EXPECT_EQ(decodedKind(packet(TextInput{"zażółć"})), K::text);
  EXPECT_EQ(decodedKind(packet(PointerButton{})), K::pointerButton);
  EXPECT_EQ(decodedKind(packet(ScrollEvent{})), K::scroll);
  EXPECT_EQ(decodedKind(packet(PencilDiscrete{})), K::pencilDiscrete);
  EXPECT_EQ(decodedKind(packet(PinchEvent{})), K::pinch);
  EXPECT_EQ(decodedKind(packet(PointerMoveBatch{1, 2, {{3, 4, 5}}})), K::pointerMove);
  EXPECT_EQ(decodedKind(packet(PencilSampleBatch{})), K::pencilBatch);
  EXPECT_EQ(decodedKind(packet(PointerMoveRelative{0.1f, 0.2f, 1})), K::pointerMoveRelative);

  EXPECT_EQ(decodedKind(packet(PencilUpdate{})), std::nullopt) << "the host never reads pencil updates";
  EXPECT_EQ(decodedKind(packet(Ping{1})), std::nullopt) << "a control record on no input channel";
  Bytes cut = packet(key(4, true));
  cut.resize(cut.size() - 3);
  EXPECT_EQ(decodedKind(cut), std::nullopt) << "a truncated payload";
  // A key event's type number on the unreliable channel names nothing there.
  Bytes moved = packet(key(4, true));
  moved[5] = rawValue(Channel::inputUnreliable);
  EXPECT_EQ(decodedKind(moved), std::nullopt);
}

TEST(HostShortcutMatcher, ScaleShortcutIsConsumedAndCommitsOnceItsModifiersAreReleased) {
  InputState input;
  auto down = interceptHostShortcut(input, key(0x2E, true, ctrlOptCmd));
  EXPECT_TRUE(down.consumed);
  EXPECT_EQ(down.action, HostAction::scaleUp);
  EXPECT_TRUE(down.actionDown);
  EXPECT_TRUE(input.scaleArmed);

  auto up = interceptHostShortcut(input, key(0x2E, false, ctrlOptCmd));
  EXPECT_TRUE(up.consumed);
  EXPECT_EQ(up.action, HostAction::scaleUp);
  EXPECT_FALSE(up.actionDown);
  EXPECT_FALSE(up.scaleCommit) << "the modifiers are still held";

  // Releasing Control (right Option and Command still held), then Option, then Command.
  EXPECT_FALSE(interceptHostShortcut(input, key(0xE0, false, KeyModifiers{0x40 | 0x8})).scaleCommit);
  EXPECT_FALSE(interceptHostShortcut(input, key(0xE6, false, KeyModifiers{0x8})).scaleCommit);
  auto last = interceptHostShortcut(input, key(0xE3, false, KeyModifiers{0x100}));  // caps lock plays no part
  EXPECT_TRUE(last.scaleCommit);
  EXPECT_FALSE(last.consumed) << "the modifier's own release is posted";
  EXPECT_FALSE(interceptHostShortcut(input, key(0xE3, false)).scaleCommit) << "committed once";
}

TEST(HostShortcutMatcher, OnlyExactMatchesAreConsumedAndUnmatchedUpsPassThrough) {
  struct Row { const char* why; KeyEvent event; bool consumed; std::optional<HostAction> action; };
  const Row rows[] = {
      {"an extra Shift prevents the match", key(0x2E, true, KeyModifiers{0x1 | 0x4 | 0x8 | 0x2}), false, {}},
      {"right-hand modifiers count", key(0x07, true, KeyModifiers{0x10 | 0x40 | 0x80}), true, HostAction::diagnostics},
      {"HiDPI", key(0x0B, true, ctrlOptCmd), true, HostAction::hiDPI},
      {"scale down", key(0x2D, true, ctrlOptCmd), true, HostAction::scaleDown},
      {"an up whose down was never intercepted", key(0x04, false, ctrlOptCmd), false, {}},
      {"a key on another page", KeyEvent{true, 0x0C, 0x2E, ctrlOptCmd, 0}, false, {}},
  };
  for (const Row& row : rows) {
    InputState input;
    auto out = interceptHostShortcut(input, row.event);
    EXPECT_EQ(out.consumed, row.consumed) << row.why;
    EXPECT_EQ(out.action, row.action) << row.why;
  }
  InputState input;
  input.shortcutScaleUp = {0x2E, false, false, false, true};  // changed to Shift+= by the owner
  EXPECT_FALSE(interceptHostShortcut(input, key(0x2E, true, ctrlOptCmd)).consumed);
  EXPECT_TRUE(interceptHostShortcut(input, key(0x2E, true, KeyModifiers{0x20})).consumed);
}

TEST(InputLogLines, ArrowsAndModifiersAlwaysLogAndTheRestOnlyForTheFirstEight) {
  auto lines = inputLogLines(InputEvent(key(0x50, true, KeyModifiers{0x8})), 9);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "input: STRZAŁKA ← ↓DOWN mods=0x8");
  EXPECT_EQ(inputLogLines(InputEvent(key(0xE1, false, KeyModifiers{0x2A0})), 20),
            std::vector<std::string>{"input: MOD 0xE1 ↑UP mods=0x2A0"});
  EXPECT_EQ(inputLogLines(InputEvent(key(0x2F, true)), 3),
            (std::vector<std::string>{"input: NAWIGACJA wstecz (Cmd+[)", "input: KEY ↓ usage=0x2F mods=0"}));
  EXPECT_TRUE(inputLogLines(InputEvent(key(0x04, true)), 9).empty());
  ScrollEvent scroll;
  scroll.deltaX = 1.5f;
  scroll.deltaY = std::numeric_limits<float>::quiet_NaN();
  scroll.phase = ScrollPhase::changed;
  EXPECT_EQ(inputLogLines(InputEvent(scroll), 1), std::vector<std::string>{"input: SCROLL Δ(1.5,nan) phase=changed"});
  EXPECT_EQ(shortestDecimal(0.1f), "0.1");
}

struct InputRig : SessionRig {
  InputRig() {
    make();
    injector = deps.injectors();
    injector->setDisplay(1, 1280, 720);
    probe([&](SessionState& s) { s.engines.injector = injector; });
    updateCallbacksForTest();
  }
  void updateCallbacksForTest() {
    session->updateCallbacks([this](SessionCallbacks& c) {
      c.onHostAction = [this](uint8_t action, bool down) { actions.emplace_back(action, down); };
      c.onScaleCommit = [this] { commits += 1; };
      c.onInputActivity = [this] { activity += 1; };
    });
  }
  void reliable(const Bytes& bytes) { session->handleInputReliablePacket(bytes); }
  void unreliable(const Bytes& bytes) { session->handleInputUnreliablePacket(bytes); }
  size_t keyEventsPosted() {
    size_t n = 0;
    for (auto& e : poster->events()) n += (e.type == tavlo::SystemEventType::keyDown || e.type == tavlo::SystemEventType::keyUp);
    return n;
  }

  std::shared_ptr<InputInjector> injector;
  std::vector<std::pair<uint8_t, bool>> actions;
  int commits = 0;
  int activity = 0;
};

TEST(HostSessionInput, ShortcutKeysReachTheOwnerAndNotTheDesktop) {
  InputRig rig;
  rig.reliable(packet(key(0x2E, true, ctrlOptCmd)));
  rig.reliable(packet(key(0x2E, false, ctrlOptCmd)));
  EXPECT_EQ(rig.keyEventsPosted(), 0u);
  rig.reliable(packet(key(0xE0, false, KeyModifiers{0x4 | 0x8})));
  rig.reliable(packet(key(0xE2, false, KeyModifiers{0x8})));
  EXPECT_EQ(rig.commits, 0);
  rig.reliable(packet(key(0xE3, false)));
  EXPECT_EQ(rig.commits, 1);
  EXPECT_EQ(rig.actions, (std::vector<std::pair<uint8_t, bool>>{{1, true}, {1, false}}));
  rig.reliable(packet(key(0x2E, true, KeyModifiers{0x1 | 0x4 | 0x8 | 0x2})));  // with Shift: posted
  EXPECT_GT(rig.keyEventsPosted(), 0u);
  EXPECT_EQ(rig.actions.size(), 2u);
}

TEST(HostSessionInput, ActivityIsThrottledAndOnlyTheFirstEightEventsLogInFull) {
  InputRig rig;
  for (int i = 0; i < 10; ++i) {
    rig.reliable(packet(key(0x04, i % 2 == 0)));
    if (i == 0) rig.clock().advanceUs(200'000);
  }
  EXPECT_EQ(rig.activity, 1) << "200 ms apart: one notice";
  rig.clock().advanceUs(200'000);  // 400 ms after the first
  rig.reliable(packet(key(0x50, true)));
  EXPECT_EQ(rig.activity, 2);
  EXPECT_EQ(rig.log.count("input: KEY"), 8u);
  EXPECT_EQ(rig.log.count("input: STRZAŁKA"), 1u);
}

TEST(HostSessionInput, PeriodicKeepalivesArmTheWedgeCheckOnceAndAGapResetsTheStreak) {
  InputRig rig;
  Bytes bind = flowBindDatagram(Channel::inputUnreliable);
  auto armed = [&] { return rig.probe([](SessionState& s) { return s.identity.udpKeepaliveArmed; }); };
  rig.unreliable(bind);
  rig.clock().advanceUs(1'000'000);
  rig.unreliable(bind);
  EXPECT_FALSE(armed()) << "two keepalives 1 s apart";
  rig.clock().advanceUs(2'000'000);
  rig.unreliable(bind);
  EXPECT_FALSE(armed()) << "a 2 s gap resets the streak";
  rig.clock().advanceUs(1'400'000);
  rig.unreliable(bind);
  rig.clock().advanceUs(1'500'000);
  rig.unreliable(bind);
  EXPECT_TRUE(armed());
  rig.clock().advanceUs(1'000'000);
  rig.unreliable(bind);
  EXPECT_EQ(rig.log.count("🫀 keepalive UDP klienta wykryty"), 1u);
  EXPECT_EQ(rig.activity, 0) << "keepalives are no input";

  uint64_t before = rig.clock().nowUs();
  rig.clock().advanceUs(5);
  rig.unreliable(Bytes{1, 2, 3});
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.identity.lastInputFlowPacketUs; }), before + 5)
      << "a bad header still shows the flow alive";
}

TEST(HostSessionInput, MovesLogSparselyAndNonFiniteFloatsMoveNothing) {
  InputRig rig;
  for (int i = 0; i < 120; ++i) rig.unreliable(packet(PointerMoveBatch{0, 0, {{100, 200, 0}}}));
  EXPECT_EQ(rig.log.count("input: MOVE #"), 5u) << "#1 to #4 and #120";
  EXPECT_EQ(rig.log.count("input: MOVE #120 @(100,200)"), 1u);
  size_t posted = rig.poster->events().size();
  float nan = std::numeric_limits<float>::quiet_NaN();
  rig.unreliable(packet(PointerMoveRelative{nan, std::numeric_limits<float>::infinity(), 0}));
  ScrollEvent scroll;
  scroll.deltaY = nan;
  rig.reliable(packet(scroll));
  rig.reliable(packet(PinchEvent{nan, ScrollPhase::changed, 0, 0, 0, 0}));
  EXPECT_EQ(rig.poster->events().size(), posted);
}

TEST(HostSessionInput, ALeftButtonReleaseFlushesTheHeldFocusNoticeAfterTheRelease) {
  InputRig rig;
  rig.probe([](SessionState& s) { s.geometry.dragHeldFocus = PendingFocus{true, std::nullopt}; });
  rig.reliable(packet(PointerButton{1, false, 1, 10, 10, 0, 0, {}}));  // the right button: not the drag's end
  EXPECT_TRUE(rig.probe([](SessionState& s) { return s.geometry.dragHeldFocus.has_value(); }));
  rig.reliable(packet(PointerButton{0, true, 1, 10, 10, 0, 0, {}}));
  rig.reliable(packet(PointerButton{0, false, 1, 10, 10, 0, 0, {}}));
  EXPECT_FALSE(rig.probe([](SessionState& s) { return s.geometry.dragHeldFocus.has_value(); }));
  EXPECT_EQ(rig.log.count("⌨️ fokus wstrzymany na czas draga → flush TEXT_FOCUS(on)"), 1u);
  auto focus = rig.client.next<TextFocusMessage>();
  ASSERT_TRUE(focus);
  EXPECT_TRUE(focus->active);
  EXPECT_FALSE(focus->hasRect);
}

}  // namespace
}  // namespace vela
