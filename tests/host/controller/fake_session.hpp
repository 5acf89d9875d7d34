#pragma once
// A session that records what the controller asks of it, answers from fields the test sets, and keeps
// the callbacks the controller gives it for the test to call.
#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller/controlled_session.hpp"

namespace tavlo::controllertest {

class FakeSession final : public ControlledSession {
 public:
  explicit FakeSession(std::string name = "session") : name(std::move(name)) {}

  void start() override { calls.push_back("start"); }
  void updateCallbacks(const std::function<void(vela::SessionCallbacks&)>& edit) override { edit(callbacks); }
  void setMbbCapable(bool capable) override { calls.push_back(std::string("mbb capable ") + (capable ? "1" : "0")); }

  void setStreamBufferMs(int64_t ms) override { calls.push_back("stream buffer " + std::to_string(ms)); }
  void setHostShortcuts(vela::HostShortcut up, vela::HostShortcut down, vela::HostShortcut diag) override {
    shortcuts = {up, down, diag};
  }
  void setClipboardMaxBytesPerSec(int64_t rate) override { clipboardRate = rate; }
  uint64_t announceClipboard(const std::string& uti, const std::string& name,
                             const vela::ClipPayload& payload) override {
    announced.push_back({uti, name, payload});
    return announced.size();
  }
  void requestClipboard(uint64_t clipId, uint32_t fromOffset) override {
    requested.push_back({clipId, fromOffset});
  }
  void setScale(double scale) override { calls.push_back("scale " + std::to_string(scale).substr(0, 4)); }
  void setKeyframePolicy(bool adaptive, double fixedSec) override {
    calls.push_back(std::string("keyframes ") + (adaptive ? "adaptive " : "fixed ") + std::to_string(fixedSec).substr(0, 4));
  }
  void setForce1x(bool on) override { calls.push_back(std::string("force1x ") + (on ? "1" : "0")); }
  void sendStreamBuffer(int64_t ms) override { calls.push_back("send stream buffer " + std::to_string(ms)); }
  void setCursorVisible(bool visible) override { calls.push_back(std::string("cursor ") + (visible ? "1" : "0")); }
  void setWireCap(int64_t kbps) override { calls.push_back("wire cap " + std::to_string(kbps)); }
  bool sendCursorImage(uint32_t cursorId, const Bytes& bgra, int64_t width, int64_t height, int64_t hotspotX,
                       int64_t hotspotY, int64_t scale, vela::CursorShape shape) override {
    // A session that has not accepted the client's hello yet refuses the image, as the real one does.
    if (refuseCursorImages) return false;
    cursorImages.push_back({cursorId, bgra, width, height, hotspotX, hotspotY, scale, shape});
    return true;
  }
  int64_t streamPixelWidth() const override { return streamWidth; }
  struct SentCursor {
    uint32_t cursorId;
    Bytes bgra;
    int64_t width, height, hotspotX, hotspotY, scale;
    vela::CursorShape shape;
  };
  std::vector<SentCursor> cursorImages;
  int64_t streamWidth = 0;
  bool refuseCursorImages = false;
  uint32_t sessionId() const override { return id; }

  bool clientSupportsUnlock() const override { return supportsUnlock; }
  int64_t pendingHelloW() const override { return helloW; }
  int64_t pendingHelloH() const override { return helloH; }
  bool isTransportEncrypted() const override { return encrypted; }
  std::string peerDescription() const override { return peer; }
  bool parkedWarm() const override { return warm; }

  std::optional<vela::WarmEngineBundle> surrenderEngines(int64_t w, int64_t h) override {
    calls.push_back("surrender " + std::to_string(w) + "x" + std::to_string(h));
    if (!warmBundle || warmBundle->pxW != w || warmBundle->pxH != h) return std::nullopt;
    return std::exchange(warmBundle, std::nullopt);
  }
  void setPendingWarmBundle(std::optional<vela::WarmEngineBundle> bundle) override { pendingBundle = bundle; }

  void sendBye() override { calls.push_back("bye"); }
  void sendForcePath(uint8_t code) override { calls.push_back("force path " + std::to_string(code)); }
  void sendTextFocus(bool active, std::optional<ScreenRect> frame) override {
    calls.push_back(std::string("text focus ") + (active ? "on" : "off") + (frame ? " framed" : ""));
  }
  void sendLockState(bool locked, bool armed) override {
    calls.push_back(std::string("lock state ") + (locked ? "1" : "0") + (armed ? "1" : "0"));
  }
  bool attemptUnlock() override {
    calls.push_back("attempt unlock");
    return unlockTyped;
  }
  void cancelTransportNow() override { calls.push_back("cancel transport"); }
  void close() override { calls.push_back("close"); }

  std::shared_ptr<vela::SessionTransport> donateTransportForMbb() override {
    calls.push_back("donate");
    return donated;
  }
  void attachSecondarySink(std::shared_ptr<vela::SessionTransport> transport, uint32_t sessionId,
                           bool viaVPN) override {
    calls.push_back("attach " + transport->remoteDescription() + " " + std::to_string(sessionId) +
                    (viaVPN ? " vpn" : ""));
  }

  void detachDisallowedSecondaryPaths() override { calls.push_back("detach disallowed paths"); }

  bool called(const std::string& call) const { return std::find(calls.begin(), calls.end(), call) != calls.end(); }

  struct Announced {
    std::string uti;
    std::string name;
    vela::ClipPayload payload;
  };
  std::vector<Announced> announced;
  std::vector<std::pair<uint64_t, uint32_t>> requested;

  std::string name;
  std::optional<std::string> key;
  std::string peer = "10.0.0.2:5000";
  bool supportsUnlock = false;
  int64_t helloW = 1280;
  int64_t helloH = 720;
  bool encrypted = true;
  bool warm = false;
  bool unlockTyped = true;
  std::optional<vela::WarmEngineBundle> warmBundle;
  std::optional<vela::WarmEngineBundle> pendingBundle;
  std::shared_ptr<vela::SessionTransport> donated;
  uint32_t id = 0;
  std::vector<vela::HostShortcut> shortcuts;
  std::atomic<int64_t> clipboardRate{0};
  vela::SessionCallbacks callbacks;
  std::vector<std::string> calls;
};

}  // namespace tavlo::controllertest
