// Input intake: the reliable and unreliable input packets, input activity, the host shortcuts, the
// injection, the flow-bind keepalive that arms the reaper's wedge check, and the text-focus notice held
// back during a drag.
#include <utility>

#include "hostcore/engines/input_injector.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/host_shortcut_matcher.hpp"
#include "hostcore/session/input_decoding.hpp"
#include "hostcore/session/input_log_lines.hpp"
#include "hostcore/session/session_time.hpp"
#include "protocol/wire_error.hpp"

namespace vela {

namespace {

// Input activity reaches the owner at most this often, however fast events arrive.
constexpr uint64_t activityNoteSpacingUs = 300'000;
// Keepalives at most this far apart count as periodic; two such gaps in a row arm the wedge check.
constexpr uint64_t flowBindPeriodUs = 1'500'000;
constexpr int64_t flowBindStreakToArm = 2;
// Pointer-move batches logged: the first few, then one in this many.
constexpr int64_t moveLogFirst = 5;
constexpr int64_t moveLogEvery = 120;

std::optional<RawPacket> decodeHeader(ByteView packet) {
  try {
    return RawPacket::decode(packet);
  } catch (const WireError&) {
    return std::nullopt;
  }
}

}  // namespace

void HostSession::setHostShortcuts(HostShortcut scaleUp, HostShortcut scaleDown, HostShortcut diag,
                                   HostShortcut hiDPI) {
  Locked locked(*this);
  locked->input.shortcutScaleUp = scaleUp;
  locked->input.shortcutScaleDown = scaleDown;
  locked->input.shortcutDiag = diag;
  locked->input.shortcutHiDPI = hiDPI;
}

void HostSession::handleInputReliablePacket(ByteView packet) {
  auto raw = decodeHeader(packet);
  if (!raw) return;
  auto event = decodeInput(*raw);
  if (!event) return;
  {
    Locked locked(*this);
    int64_t n = ++locked->input.inputEventsSeen;
    // Only navigation, arrows, modifiers and the first events log: the common case builds no line.
    if (n <= inputEventsLoggedInFull || event->kind() == InputEvent::Kind::key) {
      for (auto& line : inputLogLines(*event, n)) locked.log(std::move(line));
    }
  }
  intakeInputEvent(*event, true);
}

void HostSession::handleInputUnreliablePacket(ByteView datagram) {
  uint64_t now = nowUs();
  {
    Locked locked(*this);
    locked->identity.lastInputFlowPacketUs = now;  // a flow that delivers anything is alive
  }
  auto raw = decodeHeader(datagram);
  if (!raw) return;
  if (raw->header.msgType == ControlType::flowBind) {
    noteFlowBindKeepalive();
    return;
  }
  auto event = decodeInput(*raw);
  if (!event) return;
  if (const PointerMoveBatch* move = event->as<PointerMoveBatch>()) {
    Locked locked(*this);
    int64_t n = ++locked->input.moveEventsSeen;
    if ((n < moveLogFirst || n % moveLogEvery == 0) && !move->samples.empty()) {
      locked.log("input: MOVE #" + std::to_string(n) + " @(" + std::to_string(move->samples[0].xNorm) + "," +
                 std::to_string(move->samples[0].yNorm) + ")");
    }
  }
  intakeInputEvent(*event, false);
}

// Activity, the host shortcuts, the injection and (reliable loop) the held text-focus notice.
void HostSession::intakeInputEvent(const InputEvent& event, bool reliable) {
  uint64_t now = nowUs();
  bool noteActivity = false;
  ShortcutOutcome shortcut;
  std::shared_ptr<InputInjector> injector;
  {
    Locked locked(*this);
    auto& input = locked->input;
    if (input.lastActivityNoteUs == 0 || now - input.lastActivityNoteUs > activityNoteSpacingUs) {
      input.lastActivityNoteUs = now;
      noteActivity = true;
    }
    if (event.kind() == InputEvent::Kind::key) shortcut = interceptHostShortcut(input, event);
    injector = locked->engines.injector;
  }
  if (noteActivity || shortcut.scaleCommit || shortcut.action) {
    auto cb = callbacks();
    if (noteActivity && cb->onInputActivity) cb->onInputActivity();
    if (shortcut.scaleCommit && cb->onScaleCommit) cb->onScaleCommit();
    if (shortcut.action && cb->onHostAction) cb->onHostAction(static_cast<uint8_t>(*shortcut.action), shortcut.actionDown);
  }
  if (shortcut.consumed) return;
  if (injector) injector->inject(event);

  const PointerButton* button = event.as<PointerButton>();
  if (!reliable || !button || button->button != 0 || button->down) return;
  // The focus notice held while the left button was down goes out now that the drag has ended. The
  // injector has a lock of its own: it is asked before the session's is taken.
  std::optional<tavlo::ScreenRect> bounds;
  if (injector) bounds = injector->displayBounds();
  Locked locked(*this);
  auto held = std::exchange(locked->geometry.dragHeldFocus, std::nullopt);
  if (!held) return;
  locked.log(std::string("⌨️ fokus wstrzymany na czas draga → flush TEXT_FOCUS(") + (held->active ? "on" : "off") + ")");
  TextFocusMessage::Rect display;
  if (bounds) display = {bounds->x, bounds->y, bounds->width, bounds->height};
  locked.sendControl(TextFocusMessage::forField(held->active, held->fieldFrame, display));
}

void HostSession::noteFlowBindKeepalive() {
  uint64_t now = nowUs();
  Locked locked(*this);
  auto& id = locked->identity;
  auto sinceLast = ageUs(now, id.lastFlowBindUs);
  if (sinceLast && *sinceLast <= flowBindPeriodUs) {
    id.flowBindStreak += 1;
    if (id.flowBindStreak >= flowBindStreakToArm && !id.udpKeepaliveArmed) {
      id.udpKeepaliveArmed = true;
      id.lastFlowBindUs = now;
      locked.log("🫀 keepalive UDP klienta wykryty (flowBind periodyczny) → detekcja wedge 47703 uzbrojona");
      return;
    }
  } else {
    id.flowBindStreak = 0;
  }
  id.lastFlowBindUs = now;
}

}  // namespace vela
