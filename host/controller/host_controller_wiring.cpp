// Session wiring: a running session for every accepted transport, with each of its callbacks connected
// to the controller, the virtual devices and the display controller's flags.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "host/controller/device_preferences.hpp"
#include "host/controller/host_controller.hpp"
#include "transport/peer_address_key.hpp"

namespace tavlo {

namespace {

// The environment variable that asks for the scale check, when it runs and the scale it asks for.
constexpr const char* scaleTestVariable = "TAVLO_SCALE_TEST";
constexpr uint64_t scaleTestDelayUs = 2'500'000;
constexpr double scaleTestValue = 0.7;

// "x,y w×h" in whole points, as the focus lines print a field's frame.
std::string frameText(const ScreenRect& frame) {
  auto whole = [](double v) { return std::to_string(static_cast<long long>(std::isfinite(v) ? std::trunc(v) : 0)); };
  return whole(frame.minX()) + "," + whole(frame.minY()) + " " + whole(frame.width) + "×" + whole(frame.height);
}

}  // namespace

void HostController::onMain(MainExecutor& main, const std::weak_ptr<HostController>& weak, MainBody body) {
  main.post([weak, body = std::move(body)] {
    if (auto self = weak.lock()) body(*self);
  });
}

void HostController::onMainForSession(MainExecutor& main, const std::weak_ptr<HostController>& weak,
                                      const std::weak_ptr<ControlledSession>& session, MainBody body) {
  main.post([weak, session, body = std::move(body)] {
    auto self = weak.lock();
    // A late report of a session that is no longer the active one changes nothing.
    if (self && self->session_ == session.lock()) body(*self);
  });
}

void HostController::setSession(std::shared_ptr<ControlledSession> session) {
  if (session) waitingForAdmission_.forget(session);
  const bool ended = session_ && !session;
  const bool changed = session_ != session;
  std::shared_ptr<ControlledSession> previous = std::exchange(session_, std::move(session));
  // The pasteboard is shared with the active session alone: a session that waits for its hello, is
  // refused or only brings a second path never sees the host's copies, and the bridge moves only when
  // another session becomes the active one.
  const HostControllerSeams::ClipboardBridge& clipboard = deps_.seams.clipboard;
  if (changed && previous && clipboard.stop) clipboard.stop();
  if (changed && session_ && clipboard.startSync) clipboard.startSync(session_);
  if (ended && deps_.seams.updatesSessionEnded) deps_.seams.updatesSessionEnded();
  // Cursor-shape tracking follows the active session.
  if (deps_.seams.syncCursorTracking) deps_.seams.syncCursorTracking();
}

void HostController::publishDiagnostics(const vela::DiagSnapshot& snapshot) {
  diag.set(snapshot);
  std::vector<vela::DiagSnapshot> history = diagHistory.get();
  history.push_back(snapshot);
  if (history.size() > diagHistoryKept) {
    history.erase(history.begin(), history.begin() + static_cast<std::ptrdiff_t>(history.size() - diagHistoryKept));
  }
  diagHistory.set(std::move(history));
}

int64_t HostController::clipboardRateFor(const vela::DiagSnapshot& snapshot) {
  if (snapshot.clog != "off") return clipboardFloorBytesPerSec;
  // kbit/s × 125 is bytes per second; clamp the rate first so that the product cannot overflow.
  const int64_t kbps = std::clamp<int64_t>(snapshot.rxKbps, 0, clipboardCeilingBytesPerSec / 125);
  return std::clamp<int64_t>(kbps * 125, clipboardFloorBytesPerSec, clipboardCeilingBytesPerSec);
}

void HostController::handleSession(std::shared_ptr<vela::SessionTransport> transport) {
  const std::string remote = transport->remoteDescription();
  const HostControllerSeams& seams = deps_.seams;
  if (!seams.makeSession) {
    log("🚫 brak obsługi sesji w tym hoście — zamykam połączenie: " + remote);
    transport->close();
    return;
  }
  log("nowa sesja: " + remote);

  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  if (seams.setTextFocusHandler) {
    seams.setTextFocusHandler([main, weak](const HostControllerSeams::FocusInfo& info) {
      onMain(*main, weak, [info](HostController& self) {
        if (!self.session_) return;
        self.session_->sendTextFocus(info.isText, info.frame);
        if (info.isText) {
          self.log(std::string("⌨️ fokus tekstowy (secure=") + (info.isSecure ? "true" : "false") +
                   ", ramka=" + (info.frame ? frameText(*info.frame) : "brak") + ") → TEXT_FOCUS(on)");
        } else {
          self.log("⌨️ fokus nietekstowy → TEXT_FOCUS(off)");
        }
      });
    });
  }

  vela::SessionConfig config;
  config.transport = std::move(transport);
  config.display = deps_.sharedDisplay;
  config.hostName = deps_.hostName.empty() ? "Mac" : deps_.hostName;
  config.targetFps = targetFps.get();
  config.useTapAudio = false;
  config.mirror = deps_.mirrorMainDisplay;
  config.setAsMain = !config.mirror;
  config.initialScale = scale.get();
  config.isolateDisplays = !config.mirror;
  config.keyframeAdaptive = kfAdaptive.get();
  config.keyframeFixedSec = kfFixedSec.get();
  config.force1x = force1x.get();
  const JsonStore* settings = &deps_.settings;
  config.scaleForDevice = [main, weak, settings](const std::string& key) {
    const double value = deviceScale(*settings, key);
    onMain(*main, weak, [key, value](HostController& self) {
      self.currentDeviceKey_ = key;
      self.scale.set(value);
    });
    return value;
  };
  config.onLog = logSink();

  std::shared_ptr<ControlledSession> session = seams.makeSession(std::move(config));
  wireCallbacks(session);
  session->start();
  // Counted once started: a session that could not start never pushes out one that waits.
  for (const auto& displaced : waitingForAdmission_.add(vela::peerAddressKey(remote), session)) {
    log("🚫 za dużo połączeń czekających na przyjęcie — zamykam najstarsze: " + displaced->peerDescription());
    displaced->close();
  }

  // A manual check of the scale floor: a scale below it is asked for shortly after the session starts.
  if (std::getenv(scaleTestVariable)) {
    deps_.scheduler.after(scaleTestDelayUs, [main, weak] {
      onMain(*main, weak, [](HostController& self) { self.setScale(scaleTestValue); });
    });
  }
}

void HostController::wireCallbacks(const std::shared_ptr<ControlledSession>& session) {
  const HostControllerSeams& seams = deps_.seams;
  std::weak_ptr<HostController> weakC = weak_from_this();
  std::weak_ptr<ControlledSession> weakS = session;
  MainExecutor* main = &deps_.main;
  const JsonStore* settings = &deps_.settings;

  session->updateCallbacks([&](vela::SessionCallbacks& c) {
    c.onClientName = [main, weakC, weakS](const std::string& name) {
      onMainForSession(*main, weakC, weakS, [name](HostController& self) { self.clientName.set(name); });
    };
    // The devices' calls come on the session's threads; their objects guard themselves.
    if (seams.writeMicrophone) {
      c.onMicAudio = [weakC, write = seams.writeMicrophone](const Bytes& pcm) {
        if (!weakC.expired()) write(ByteView(pcm));
      };
    }
    if (seams.pushCameraFrame) {
      c.onCamFrame = [weakC, push = seams.pushCameraFrame](const vela::PixelBuffer& frame) {
        if (!weakC.expired()) push(frame);
      };
    }
    // The attaching session is the one this callback belongs to.
    c.onMbbAttach = [main, weakC, weakS](const vela::MbbAttach& attach, const std::shared_ptr<vela::HostSession>&) {
      onMain(*main, weakC, [weakS, attach](HostController& self) {
        if (auto attaching = weakS.lock()) self.mbbAttach(attach, attaching);
      });
    };
    // Asked on the session's threads: the classification and the switches are safe there.
    c.isPathAllowed = [weakC](const std::string& remote) {
      auto self = weakC.lock();
      return self && self->isPathAllowed(self->pathKind(remote));
    };
    c.onSwitchInfo = [main, weakC](const std::string& text) {
      onMain(*main, weakC, [text](HostController& self) { self.lastSwitchInfo.set(text); });
    };
    c.isCamConsumed = [weakC, consumed = seams.isCameraConsumed] {
      return consumed && !weakC.expired() && consumed();
    };
    c.isMicConsumed = [weakC, consumed = seams.isMicrophoneConsumed] {
      return consumed && !weakC.expired() && consumed();
    };
    c.onHostAction = [main, weakC](uint8_t action, bool down) {
      onMain(*main, weakC, [action, down](HostController& self) { self.handleHostAction(action, down); });
    };
    c.onScaleCommit = [main, weakC] { onMain(*main, weakC, [](HostController& self) { self.commitScale(); }); };
    c.onDiagnostics = [main, weakC, weakS](const vela::DiagSnapshot& snapshot) {
      // The rate at once, on the session's thread: the clipboard engine guards itself.
      auto session = weakS.lock();
      if (!session || weakC.expired()) return;
      session->setClipboardMaxBytesPerSec(clipboardRateFor(snapshot));
      session.reset();
      onMainForSession(*main, weakC, weakS, [snapshot](HostController& self) { self.publishDiagnostics(snapshot); });
    };
    c.onForce1xAvailable = [main, weakC](bool available) {
      onMain(*main, weakC, [available](HostController& self) { self.force1xAvailable.set(available); });
    };
    c.onClientPlatform = [main, weakC, weakS, suppress = seams.setForce1xSuppressed](vela::Platform platform) {
      // At once: the display controller may compute a mode before the main executor gets to it.
      if (suppress && !weakC.expired()) suppress(platform == vela::Platform::vision);
      onMainForSession(*main, weakC, weakS,
                       [platform](HostController& self) { self.clientPlatform.set(platform); });
    };
    c.onDisconnect = [main, weakC, weakS] {
      // A session that ends before its admission stops counting against the waiting caps.
      onMain(*main, weakC, [weakS](HostController& self) {
        if (auto ended = weakS.lock()) self.waitingForAdmission_.forget(ended);
      });
      onMainForSession(*main, weakC, weakS, [weakS](HostController& self) { self.sessionEnded(weakS.lock()); });
    };
    c.force1xForDevice = [main, weakC, settings, activate = seams.setActiveForce1x](const std::string& key,
                                                                                    bool extra) {
      const bool on = deviceForce1x(*settings, key, extra);
      if (activate && !weakC.expired()) activate(on);
      onMain(*main, weakC, [key, on](HostController& self) {
        self.currentDeviceKey_ = key;
        self.force1x.set(on);
      });
      return on;
    };
    // The link memory guards itself: its calls stay on the session's threads.
    if (seams.linkSeed) {
      c.linkSeedForDevice = [weakC, seed = seams.linkSeed](const std::string& key) -> std::optional<vela::LinkSeed> {
        if (weakC.expired()) return std::nullopt;
        return seed(key);
      };
    }
    if (seams.recordLinkSnapshot) {
      c.onLinkSnapshot = [weakC, record = seams.recordLinkSnapshot](const vela::LinkSnapshot& snapshot) {
        if (!weakC.expired()) record(snapshot);
      };
    }
    c.takeoverGate = [weakC, weakS](const std::string& key, bool userInitiated) {
      return takeoverGate(weakC, weakS, key, userInitiated);
    };
    c.onInputActivity = [main, weakC] {
      onMain(*main, weakC, [](HostController& self) {
        if (self.deps_.seams.noteInputActivity) self.deps_.seams.noteInputActivity();
      });
    };
    wireClipboardBridge(c, weakS);
  });
  session->setMbbCapable(mbbEnabled.get());
  if (seams.startCameraWatching) seams.startCameraWatching(logSink());
  session->setStreamBufferMs(bufferMs.get());
  session->setHostShortcuts(scaleUpShortcut.get(), scaleDownShortcut.get(), diagShortcut.get());
  session->setClipboardMaxBytesPerSec(clipboardStartBytesPerSec);
}

void HostController::wireClipboardBridge(vela::SessionCallbacks& c, const std::weak_ptr<ControlledSession>& weakS) {
  const HostControllerSeams::ClipboardBridge& bridge = deps_.seams.clipboard;
  std::weak_ptr<HostController> weakC = weak_from_this();
  MainExecutor* main = &deps_.main;
  // Only the active session's clipboard reaches the host's pasteboard.
  if (bridge.announced) {
    c.onClipAnnounce = [main, weakC, weakS, to = bridge.announced](uint64_t clipId, const std::string& uti,
                                                                   uint32_t size, const std::string& name,
                                                                   const std::optional<Bytes>& inlineBytes) {
      onMainForSession(*main, weakC, weakS,
                       [to, clipId, uti, size, name, inlineBytes](HostController&) { to(clipId, uti, size, name, inlineBytes); });
    };
  }
  if (bridge.completed) {
    c.onClipComplete = [main, weakC, weakS, to = bridge.completed](uint64_t clipId, const std::string& uti,
                                                                   const std::string& name,
                                                                   const vela::ClipPayload& payload) {
      onMainForSession(*main, weakC, weakS,
                       [to, clipId, uti, name, payload](HostController&) { to(clipId, uti, name, payload); });
    };
  }
  if (bridge.failed) {
    c.onClipFailed = [main, weakC, weakS, to = bridge.failed](uint64_t clipId) {
      onMainForSession(*main, weakC, weakS, [to, clipId](HostController&) { to(clipId, "abort od klienta"); });
    };
  }
  if (bridge.progress) {
    c.onClipProgress = [main, weakC, weakS, to = bridge.progress](vela::ClipDir dir, uint32_t done, uint32_t total) {
      onMainForSession(*main, weakC, weakS, [to, dir, done, total](HostController&) { to(dir, done, total); });
    };
  }
}

void HostController::mbbAttach(const vela::MbbAttach& attach, const std::shared_ptr<ControlledSession>& attaching) {
  if (!mbbEnabled.get()) {
    log("🔀 MBB_ATTACH odrzucony — MbB wyłączone");
    attaching->cancelTransportNow();
    return;
  }
  if (session_ && clientConnected.get() && session_ != attaching) {
    // Only the client of the running session knows its id (from its host hello): a path naming another
    // id would receive someone else's stream.
    if (attach.sessionId == 0 || attach.sessionId != session_->sessionId()) {
      log("🔀 MBB_ATTACH do obcej sesji (sessionId " + std::to_string(attach.sessionId) + ") — odrzucam");
      attaching->cancelTransportNow();
      return;
    }
    std::shared_ptr<vela::SessionTransport> transport = attaching->donateTransportForMbb();
    if (!transport) {
      // Nothing to hand over (the transport already went): the attach cannot happen.
      log("🔀 MBB_ATTACH bez toru do przekazania — odrzucam");
      attaching->cancelTransportNow();
      return;
    }
    const std::string remote = transport->remoteDescription();
    session_->attachSecondarySink(std::move(transport), attach.sessionId, attach.viaVPN);
    log("🔀 MbB: grzany tor " + remote + (attach.viaVPN ? " (VPN)" : "") + " dołączony jako sink sesji prymarnej");
    return;
  }
  log("🔀 MBB_ATTACH bez aktywnej sesji prymarnej — odrzucam");
  attaching->cancelTransportNow();
}

}  // namespace tavlo
