// Cursor: its visibility in the captured frames and the images sent to the client.
#include <utility>

#include "hostcore/engines/capture_engine.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"

namespace vela {

void HostSession::setCursorVisible(bool visible) {
  {
    Locked locked(*this);
    auto& engines = locked->engines;
    engines.cursorVisibleWanted = visible;
    if (std::exchange(engines.cursorApplying, true)) return;  // the running task applies it next
  }
  runTask("vela.cursor", [](HostSession& s) { s.applyWantedCursorVisibility(); });
}

void HostSession::applyWantedCursorVisibility() {
  for (;;) {
    std::optional<bool> visible;
    std::shared_ptr<CaptureEngine> capture;
    {
      Locked locked(*this);
      auto& engines = locked->engines;
      visible = std::exchange(engines.cursorVisibleWanted, std::nullopt);
      if (!visible) {
        engines.cursorApplying = false;
        return;
      }
      capture = engines.capture;
    }
    if (capture) capture->setShowsCursor(*visible);
  }
}

bool HostSession::sendCursorImage(uint32_t cursorId, const Bytes& bgra, int64_t width, int64_t height,
                                  int64_t hotspotX, int64_t hotspotY, int64_t scale, CursorShape shape) {
  auto fitsU16 = [](int64_t v) { return v >= 0 && v <= 0xFFFF; };
  // A caller outside the fields' ranges (or with too few bytes for the size) is refused rather than
  // truncated into a picture the client would misdraw.
  if (!fitsU16(width) || !fitsU16(height) || !fitsU16(hotspotX) || !fitsU16(hotspotY) || scale < 0 || scale > 0xFF ||
      static_cast<uint64_t>(bgra.size()) != static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4)
    return false;
  Locked locked(*this);
  if (locked->identity.sessionId == 0) return false;  // not before the hello is accepted
  CursorImage image;
  image.cursorId = cursorId;
  image.hotspotX = static_cast<uint16_t>(hotspotX);
  image.hotspotY = static_cast<uint16_t>(hotspotY);
  image.pxW = static_cast<uint16_t>(width);
  image.pxH = static_cast<uint16_t>(height);
  image.scale = static_cast<uint8_t>(scale);
  image.data = bgra;
  image.shape = shape;
  locked.sendControl(image);
  return true;
}

}  // namespace vela
