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
  void setScale(double scale) override { calls.push_back("scale " + std::to_string(scale).substr(0, 4)); }
  uint32_t sessionId() const override { return id; }

  bool clientSupportsUnlock() const override { return supportsUnlock; }
  int64_t pendingHelloW() const override { return helloW; }
  int64_t pendingHelloH() const override { return helloH; }
  bool isTransportEncrypted() const override { return encrypted; }
  std::string peerDescription() const override { return "10.0.0.2:5000"; }
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

  bool called(const std::string& call) const { return std::find(calls.begin(), calls.end(), call) != calls.end(); }

  std::string name;
  std::optional<std::string> key;
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
