#pragma once
// What the controller asks of one client's streaming session: the few fields admission reads, the
// operations admission, the unlock flow and a second path's attach call, and the callbacks it sets.
// The product's sessions are HostSession (host_session_handle.hpp); admission and wiring tests use a
// fake. Every call may come from the main executor while the session's own threads run: an
// implementation guards itself.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "hostcore/session/host_shortcut.hpp"
#include "hostcore/session/session_callbacks.hpp"
#include "hostcore/session/warm_engine_bundle.hpp"
#include "platform/runtime/bytes.hpp"
#include "platform/runtime/screen_geometry.hpp"
#include "protocol/clipboard/clip_payload.hpp"
#include "protocol/status_messages.hpp"
#include "protocol/transport_interfaces.hpp"

namespace tavlo {

class ControlledSession {
 public:
  virtual ~ControlledSession() = default;

  // Starts the control loop; once, after the callbacks are set.
  virtual void start() = 0;
  // Replaces some callbacks: `edit` gets the current set.
  virtual void updateCallbacks(const std::function<void(vela::SessionCallbacks&)>& edit) = 0;
  virtual void setMbbCapable(bool capable) = 0;
  // Settings handed over before start: the client's stream buffer (sent once the hello is answered) and
  // the three host shortcuts.
  virtual void setStreamBufferMs(int64_t ms) = 0;
  virtual void setHostShortcuts(vela::HostShortcut scaleUp, vela::HostShortcut scaleDown,
                                vela::HostShortcut diag) = 0;
  // The clipboard engine's sending rate; callable from any thread.
  virtual void setClipboardMaxBytesPerSec(int64_t rate) = 0;
  // The host's pasteboard offers an item to the client (returns its clip id), or asks the client for
  // an item it announced, from a byte offset.
  virtual uint64_t announceClipboard(const std::string& uti, const std::string& name,
                                     const vela::ClipPayload& payload) = 0;
  virtual void requestClipboard(uint64_t clipId, uint32_t fromOffset) = 0;
  // The logical display scale (1.0…2.0) of a running session.
  virtual void setScale(double scale) = 0;
  // Stream settings changed while the session runs: they reach it at once.
  virtual void setKeyframePolicy(bool adaptive, double fixedSec) = 0;
  virtual void setForce1x(bool on) = 0;
  virtual void sendStreamBuffer(int64_t ms) = 0;
  virtual void setCursorVisible(bool visible) = 0;
  virtual void setWireCap(int64_t kbps) = 0;
  // The cursor's image for a client that draws the cursor itself; false when nothing was sent.
  virtual bool sendCursorImage(uint32_t cursorId, const Bytes& bgra, int64_t width, int64_t height, int64_t hotspotX,
                               int64_t hotspotY, int64_t scale, vela::CursorShape shape) = 0;
  // The stream's width in pixels; 0 before the display is provided.
  virtual int64_t streamPixelWidth() const = 0;

  // Read by admission once the client's hello arrived.
  virtual bool clientSupportsUnlock() const = 0;
  virtual int64_t pendingHelloW() const = 0;
  virtual int64_t pendingHelloH() const = 0;
  virtual bool isTransportEncrypted() const = 0;
  virtual std::string peerDescription() const = 0;
  // The id its hello was accepted under; 0 before.
  virtual uint32_t sessionId() const = 0;
  // The ended session kept its capture and encoder running for a quick return of its client.
  virtual bool parkedWarm() const = 0;

  // Warm resume: a parked session hands its engines over when the hello's window size matches.
  virtual std::optional<vela::WarmEngineBundle> surrenderEngines(int64_t helloW, int64_t helloH) = 0;
  virtual void setPendingWarmBundle(std::optional<vela::WarmEngineBundle> bundle) = 0;

  virtual void sendBye() = 0;
  virtual void sendForcePath(uint8_t code) = 0;
  virtual void sendTextFocus(bool active, std::optional<ScreenRect> fieldFrame) = 0;
  virtual void sendLockState(bool locked, bool armed) = 0;
  // Types the client's lock-screen password; true when it was typed.
  virtual bool attemptUnlock() = 0;
  virtual void cancelTransportNow() = 0;
  // Ends the session without calling onDisconnect; returns once it is ended.
  virtual void close() = 0;

  // Make-before-break: the attaching session gives up its transport, the primary takes it as a
  // second path.
  virtual std::shared_ptr<vela::SessionTransport> donateTransportForMbb() = 0;
  virtual void attachSecondarySink(std::shared_ptr<vela::SessionTransport> transport, uint32_t sessionId,
                                   bool viaVPN) = 0;
  // Closes the second paths whose path the switches no longer allow (asked through isPathAllowed).
  virtual void detachDisallowedSecondaryPaths() = 0;
};

}  // namespace tavlo
