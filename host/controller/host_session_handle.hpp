#pragma once
// The product's ControlledSession: a streaming session (HostSession) built on the process's session
// dependencies. The handle shares the session's lifetime: a strong handle keeps the session alive, a
// weak one ends with it, so the controller's callbacks may hold the handle weakly as they hold the
// session.
#include <memory>

#include "host/controller/controlled_session.hpp"
#include "hostcore/session/host_session.hpp"

namespace tavlo {

class HostSessionHandle final : public ControlledSession {
 public:
  // Builds the session (not started).
  static std::shared_ptr<ControlledSession> create(vela::SessionConfig config, vela::SessionDeps deps);

  void start() override { session_->start(); }
  void updateCallbacks(const std::function<void(vela::SessionCallbacks&)>& edit) override {
    session_->updateCallbacks(edit);
  }
  void setMbbCapable(bool capable) override { session_->setMbbCapable(capable); }
  void setStreamBufferMs(int64_t ms) override { session_->setStreamBufferMs(ms); }
  void setHostShortcuts(vela::HostShortcut scaleUp, vela::HostShortcut scaleDown, vela::HostShortcut diag) override;
  void setClipboardMaxBytesPerSec(int64_t rate) override { session_->clipboard().setMaxBytesPerSec(rate); }
  uint64_t announceClipboard(const std::string& uti, const std::string& name,
                             const vela::ClipPayload& payload) override {
    return session_->announceClipboard(uti, name, payload);
  }
  void requestClipboard(uint64_t clipId, uint32_t fromOffset) override {
    session_->requestClipboard(clipId, fromOffset);
  }
  void setScale(double scale) override { session_->setScale(scale); }
  void setKeyframePolicy(bool adaptive, double fixedSec) override { session_->setKeyframePolicy(adaptive, fixedSec); }
  void setForce1x(bool on) override { session_->setForce1x(on); }
  void sendStreamBuffer(int64_t ms) override { session_->sendStreamBuffer(ms); }
  void setCursorVisible(bool visible) override { session_->setCursorVisible(visible); }
  bool sendCursorImage(uint32_t cursorId, const Bytes& bgra, int64_t width, int64_t height, int64_t hotspotX,
                       int64_t hotspotY, int64_t scale, vela::CursorShape shape) override {
    return session_->sendCursorImage(cursorId, bgra, width, height, hotspotX, hotspotY, scale, shape);
  }
  int64_t streamPixelWidth() const override { return session_->streamPixelWidth(); }
  void setWireCap(int64_t kbps) override { session_->setWireCap(kbps); }

  bool clientSupportsUnlock() const override { return session_->clientSupportsUnlock(); }
  int64_t pendingHelloW() const override { return session_->pendingHelloW(); }
  int64_t pendingHelloH() const override { return session_->pendingHelloH(); }
  bool isTransportEncrypted() const override { return session_->isTransportEncrypted(); }
  std::string peerDescription() const override { return session_->peerDescription(); }
  uint32_t sessionId() const override { return session_->sessionId(); }
  bool parkedWarm() const override { return session_->parkedWarm(); }

  std::optional<vela::WarmEngineBundle> surrenderEngines(int64_t helloW, int64_t helloH) override;
  void setPendingWarmBundle(std::optional<vela::WarmEngineBundle> bundle) override {
    session_->setPendingWarmBundle(std::move(bundle));
  }

  void sendBye() override { session_->sendBye(); }
  void sendForcePath(uint8_t code) override;
  void sendTextFocus(bool active, std::optional<ScreenRect> fieldFrame) override;
  void sendLockState(bool locked, bool armed) override { session_->sendLockState(locked, armed); }
  bool attemptUnlock() override { return session_->attemptUnlock(); }
  void cancelTransportNow() override { session_->cancelTransportNow(); }
  void close() override { session_->close(); }

  std::shared_ptr<vela::SessionTransport> donateTransportForMbb() override;
  void attachSecondarySink(std::shared_ptr<vela::SessionTransport> transport, uint32_t sessionId,
                           bool viaVPN) override;
  void detachDisallowedSecondaryPaths() override { session_->detachDisallowedSecondarySinks(); }

 private:
  struct Private {};

 public:
  explicit HostSessionHandle(Private) {}

 private:
  // Valid whenever the handle is reached: every handle given out shares the session's ownership.
  vela::HostSession* session_ = nullptr;
};

}  // namespace tavlo
