// The client's hello: admission, what the client is and can do, the scale, the display (its own file),
// the input injector and the host hello; engine setup follows (host_session_engines.cpp) before the
// hello returns, so the control loop reads nothing else meanwhile.
#include <cstdio>
#include <string>

#include "hostcore/engines/input_injector.hpp"
#include "hostcore/session/client_hello_facts.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"

namespace vela {

namespace {

// A refused client gets its answer before its transport goes; the pause lets the packet leave.
constexpr uint64_t refusalCloseDelayUs = 300'000;
constexpr uint64_t chronicReliefUs = 120'000'000;
constexpr int64_t lossySeedCapBps = 800'000;  // a link that lost recently restarts at most here

std::string twoDecimals(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

}  // namespace

void HostSession::handleHello(const ClientHello& hello) {
  log("CLIENT_HELLO od " + hello.deviceName + ": okno " + std::to_string(hello.windowPxW) + "×" +
      std::to_string(hello.windowPxH));
  const std::string clientKey = clientKeyOf(hello);
  {
    Locked locked(*this);
    // A second hello would run the display step and engine setup again and leak the first engines.
    if (locked->identity.helloHandled) {
      locked.log("⚠️ kolejny CLIENT_HELLO w tej samej sesji — pomijam");
      return;
    }
    locked->identity.helloHandled = true;
    locked->identity.helloSeen = true;
    locked->warm.pendingHelloW = hello.windowPxW;
    locked->warm.pendingHelloH = hello.windowPxH;
  }
  if (!admitClient(hello, clientKey)) return;
  learnClient(hello, clientKey);

  std::optional<HelloDisplay> display = mirror_ ? obtainMirrorDisplay() : obtainVirtualDisplay(hello);
  if (!display) return;  // refused (and logged) on the way
  bindInjector(*display);
  if (display->virtualPath && isolateDisplays_ && !display->hadDisplay) {
    display_->isolatePhysicalDisplays();
    armIsolationGate();
    log("🖥️ izolacja ekranów: fizyczne wyłączone na czas sesji");
  }
  sendAcceptingHostHello();
  startEngines(*display, hello.windowPxW, hello.windowPxH);
}

bool HostSession::admitClient(const ClientHello& hello, const std::string& clientKey) {
  auto cb = callbacks();
  if (!cb->takeoverGate || cb->takeoverGate(clientKey, hello.userInitiated)) return true;
  log("⛔ bramka przejęcia odrzuciła [" + shortKey(clientKey) + "…] (userInitiated=" +
      (hello.userInitiated ? "true" : "false") + ") — busy");
  {
    Locked locked(*this);
    locked->identity.disconnected = true;  // the teardown after the close finds nothing to do
  }
  refuseHello("bramka przejęcia");
  return false;
}

void HostSession::refuseHello(const std::string& why) {
  std::shared_ptr<SessionTransport> transport = this->transport();
  // Every refusal ends the connection: a session refused after admission (display gate, display
  // failure) would otherwise stay open with no engines, no watchdog and no reaper. The close is timed
  // from before the answer leaves. The timer owns the transport from here, so the session may end
  // (nobody holds a refused session) without cutting the pause short.
  {
    Locked locked(*this);
    locked->identity.refusalClosing = true;
  }
  deps_.scheduler->after(refusalCloseDelayUs, [transport, why, weak = weak_from_this()] {
    if (auto self = weak.lock()) self->log("⛔ odmowa (" + why + ") — zamykam transport");
    transport->close();
  });
  transport->control().send(encodePacket(HostHello::busyRefusal(hostName_), 0, 0));
}

void HostSession::learnClient(const ClientHello& hello, const std::string& clientKey) {
  auto cb = callbacks();
  if (cb->onClientName) cb->onClientName(hello.deviceName);
  if (cb->onClientPlatform) cb->onClientPlatform(hello.platform);
  const bool isMac = hello.platform == Platform::mac;
  if (cb->onForce1xAvailable) cb->onForce1xAvailable(force1xAvailable(hello.windowPxW, hello.windowPxH));
  display_->setDisplayLabel(displayLabelFor(hello.platform));

  const double physFactor = physicalFactorOf(hello);
  if (physFactor < ClientHelloLimits::physFactorLogBelow) {
    char factor[32];
    std::snprintf(factor, sizeof factor, "%.3f", physFactor);
    log(std::string("🎛️ czynnik fizyczny klienta ×") + factor + " (skalowana rozdz. → matryca)");
  }
  const std::string linkDeviceKey = linkDeviceKeyOf(clientKey, hello.ifaceHint);
  {
    Locked locked(*this);
    locked->geometry.clientIsMac = isMac;
    locked->geometry.clientBackingPercent = hello.backingScalePercent;
    locked->geometry.clientPhysFactor = physFactor;
    locked->identity.linkDeviceKey = linkDeviceKey;
  }

  // The seed is looked up under the key the session's link snapshot is stored under at its end: the
  // same device on the same kind of interface.
  if (cb->linkSeedForDevice) {
    if (auto seed = cb->linkSeedForDevice(linkDeviceKey)) {
      Locked locked(*this);
      auto& a = locked->adaptation;
      a.seededStartBps = seed->recentLoss ? std::min(seed->bps, lossySeedCapBps) : seed->bps;
      if (seed->recentLoss) a.seedReliefPending = true;
      a.seededProvenBps = seed->proven;
      if (seed->chronic) a.reliefChronicUntilUs = nowUs() + chronicReliefUs;
      if (seed->wan) {
        a.wanLink = true;
        locked->keyframes.bootstrapIdrDupPending = true;
        locked->keyframes.bootstrapMinQPPending = true;
      }
      locked.log("🩹 pamięć łącza [" + shortKey(clientKey) + "…]: start " + std::to_string(seed->bps / 1000) + "k" +
                 (seed->recentLoss ? " + relief QP 5 s (świeży epizod strat)" : "") +
                 (seed->wan ? " + tor WAN od startu" : ""));
    }
  }

  const bool lowDPI = isMac && (hello.featureCaps & FeatureCaps::allScreensLowDPI) != 0;
  if (lowDPI) log("🖥 klient bez ekranu Retina → ekran wirtualny 1× (punkty = piksele)");
  if (cb->force1xForDevice) {
    bool answer = cb->force1xForDevice(clientKey, lowDPI);
    Locked locked(*this);
    locked->geometry.force1xActive = answer;
    if (answer && !lowDPI) locked.log("🎛️ tryb 1:1 dla urządzenia [" + shortKey(clientKey) + "…]: WŁĄCZONY");
  }

  {
    Locked locked(*this);
    auto& m = locked->media;
    m.clientOpusCapable = (hello.audioCaps & AudioCaps::opus) != 0;
    m.clientMicCapable = (hello.featureCaps & FeatureCaps::micStream) != 0;
    m.clientCamCapable = (hello.featureCaps & FeatureCaps::camStream) != 0;
    locked->identity.clientUnlockCapable = (hello.featureCaps & FeatureCaps::remoteUnlock) != 0;
    locked->identity.clientVpn = (hello.featureCaps & FeatureCaps::viaVPN) != 0;
    if (locked->identity.clientVpn && locked->path.lanSession) {
      locked->path.lanSession = false;
      locked.log("🔒 klient zgłosił tor VPN → pacing WAN (nie LAN) + diagnostyka „VPN”");
    }
  }

  if (isMac) {
    const double scale = macScaleFor(hello.backingScalePercent);
    Locked locked(*this);
    locked->geometry.scaleS = scale;
    locked.log("🎚️ klient macOS → skala ×" + twoDecimals(scale) + " (backing " +
               std::to_string(hello.backingScalePercent) + "% → punkty okna " + (scale == 2.0 ? "= px" : "= px/2") +
               "; ekran " + (lowDPI ? "1×" : "HiDPI") + ")");
  } else if (cb->scaleForDevice) {
    const double scale = clampedDeviceScale(cb->scaleForDevice(clientKey));
    Locked locked(*this);
    locked->geometry.scaleS = scale;
    locked.log("🎚️ skala dla urządzenia [" + shortKey(clientKey) + "…]: ×" + twoDecimals(scale));
  }
}

void HostSession::bindInjector(const HelloDisplay& display) {
  std::shared_ptr<InputInjector> injector = deps_.injectors();
  injector->setOnLog([weak = weak_from_this()](const std::string& line) {
    if (auto self = weak.lock()) self->log(line);
  });
  injector->setDisplay(display.displayID, display.pointsW, display.pointsH);
  std::shared_ptr<InputInjector> replaced;  // let go of after the release
  {
    Locked locked(*this);
    replaced = std::exchange(locked->engines.injector, injector);
  }
  injector->resetToCleanBaseline();
  if (!injector->hasPermission()) {
    log("⚠️ brak uprawnienia do wstrzykiwania zdarzeń — nadaj Dostępność/PostEvent (proszę o zgodę)");
    injector->requestPermission();
  }
}

void HostSession::sendAcceptingHostHello() {
  Locked locked(*this);
  HostHello hostHello = HostHello::acceptance(locked->identity.sessionId, hostName_, locked->identity.mbbCapable);
  // The ports the listener really has: its block moves when the first port is taken.
  hostHello.videoUdpPort = deps_.listenerPorts.video;
  hostHello.audioUdpPort = deps_.listenerPorts.audio;
  hostHello.inputUdpPort = deps_.listenerPorts.input;
  locked.sendControl(hostHello);
}

}  // namespace vela
