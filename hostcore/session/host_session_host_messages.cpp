// Small control messages the session sends on behalf of the host application: the client's
// jitter-buffer budget, the user's cap on the sending rate, the focused text field, and the clipboard's
// announcements and requests; and the first of them after the hello.
#include <algorithm>
#include <string>

#include "hostcore/engines/input_injector.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"

namespace vela {

namespace {
// Below this (kbit/s) the user's rate cap means "no cap".
constexpr int64_t minWireCapKbps = 100;
}  // namespace

void HostSession::sendStreamBuffer(int64_t ms) {
  Locked locked(*this);
  locked->media.streamBufferMs = ms;
  locked.sendControl(StreamBuffer{static_cast<uint16_t>(std::clamp<int64_t>(ms, 0, 65'535))});
  locked.log("🧊 STREAM_BUFFER → " + std::to_string(ms) + " ms");
}

void HostSession::setWireCap(int64_t kbps) {
  Locked locked(*this);
  auto& controller = locked->adaptation.bitrateController;  // no lock of its own: under the mutex
  if (kbps < minWireCapKbps) {
    if (controller) controller->setUserCap(std::nullopt);
    locked.log("🚧 maksymalne pasmo → bez limitu");
    return;
  }
  // A cap in kbit/s beyond the range of bit/s in 64 bits is no cap anyone can reach: saturate.
  const int64_t bps = kbps > INT64_MAX / 1000 ? INT64_MAX : kbps * 1000;
  if (controller) controller->setUserCap(bps);
  locked.log("🚧 maksymalne pasmo → " + std::to_string(kbps) + "k");
}

std::optional<tavlo::ScreenRect> HostSession::streamedDisplayBounds(
    uint32_t displayID, const std::shared_ptr<InputInjector>& injector) const {
  if (deps_.displayBounds) return deps_.displayBounds(displayID);
  // Without a query of its own the session trusts the injector bound to that display.
  if (injector && injector->displayID() == displayID) return injector->displayBounds();
  return std::nullopt;
}

void HostSession::sendTextFocus(bool active, std::optional<tavlo::ScreenRect> frame) {
  std::optional<TextFocusMessage::Rect> fieldFrame;
  if (frame) fieldFrame = TextFocusMessage::Rect{frame->x, frame->y, frame->width, frame->height};
  std::shared_ptr<InputInjector> injector;
  std::optional<ProvidedDisplay> display;
  {
    Locked locked(*this);
    if (locked->identity.sessionId == 0) {  // no hello answered yet: engine setup sends it later
      locked->geometry.pendingInitialFocus = PendingFocus{active, fieldFrame};
      return;
    }
    locked->geometry.pendingInitialFocus.reset();
    injector = locked->engines.injector;
    display = locked->engines.providedDisplay;
  }
  if (injector && injector->isLeftButtonDown()) {  // a drag: input intake sends it when the button is up
    Locked locked(*this);
    locked->geometry.dragHeldFocus = PendingFocus{active, fieldFrame};
    return;
  }
  TextFocusMessage message{active, false, 0, 0, 0, 0};
  if (active && fieldFrame && display) {
    if (auto bounds = streamedDisplayBounds(display->displayID, injector))
      message = TextFocusMessage::forField(active, fieldFrame, {bounds->x, bounds->y, bounds->width, bounds->height});
  }
  Locked locked(*this);
  locked.sendControl(message);
}

uint64_t HostSession::announceClipboard(const std::string& uti, const std::string& name, const ClipPayload& payload) {
  uint64_t clipId = 0;
  {
    Locked locked(*this);
    clipId = ++locked->media.clipCounter;
  }
  // An item the engine refuses (too large for the wire's sizes) is logged by it and not announced.
  if (auto announce = components_.clip->announce(clipId, uti, name, payload)) {
    Locked locked(*this);
    locked.sendControl(*announce);
  }
  return clipId;
}

void HostSession::requestClipboard(uint64_t clipId, uint32_t fromOffset) {
  Locked locked(*this);
  locked.sendControl(ClipRequest{clipId, fromOffset});
}

void HostSession::replayInitialFocus() {
  std::optional<PendingFocus> focus;
  {
    Locked locked(*this);
    focus = std::exchange(locked->geometry.pendingInitialFocus, std::nullopt);
  }
  if (!focus) return;
  std::optional<tavlo::ScreenRect> frame;
  if (focus->fieldFrame)
    frame = tavlo::ScreenRect{focus->fieldFrame->x, focus->fieldFrame->y, focus->fieldFrame->width,
                              focus->fieldFrame->height};
  sendTextFocus(focus->active, frame);
  log(std::string("⌨️ stan początkowy fokusu WYSŁANY po HELLO → TEXT_FOCUS(") + (focus->active ? "on" : "off") +
      ")");
}

}  // namespace vela
