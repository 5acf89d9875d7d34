#pragma once
// What the controller's start-up and listening ask of other parts of the host. Each step is optional:
// one that is not given is skipped, and the controller goes on with the next as the start-up order
// says. The program entry (or a test) fills in the parts that exist.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller/controlled_session.hpp"
#include "host/controller/port_mapper.hpp"
#include "host/desktop/text_focus_watcher.hpp"
#include "hostcore/session/session_callbacks.hpp"
#include "hostcore/session/session_config.hpp"
#include "media/pixel_buffer.hpp"
#include "platform/runtime/bytes.hpp"
#include "platform/runtime/system_log.hpp"
#include "platform/runtime/uuid.hpp"
#include "protocol/transport_interfaces.hpp"

namespace tavlo {

struct HostControllerSeams {
  // Runs display work that waits for the window server (switching the physical displays back on and
  // letting them settle, dropping the virtual display) off the main executor: one job at a time, in the
  // order handed over, on the worker that also keeps the displays off during a session. Any thread;
  // empty: in place.
  std::function<void(std::function<void()> job)> runDisplayWork{};

  // Start-up, in the order bootstrap calls them.
  // Switches on the physical displays that an earlier run left off (the virtual-display controller); it
  // runs as display work.
  std::function<void()> recoverDisplayIsolation{};
  // Brings the login service in line with the user's wish, then calls `done` on the main executor (the
  // work, seconds of it, happens elsewhere): true when the service's own instance has started and this
  // hand-started one must quit.
  std::function<void(LogSink log, std::function<void(bool handOver)> done)> reconcileAutostart{};
  // Creates and starts the update controller (main executor); it may call `log` from any thread.
  // `noSession` holds while no client session exists (an update may install then); `publishStatus`
  // shows the updater's status text (main executor).
  struct UpdateHooks {
    std::function<bool()> noSession;
    std::function<void(const std::string& status)> publishStatus;
  };
  std::function<void(LogSink log, UpdateHooks hooks)> startUpdates{};
  // The controller's session became none (main executor): the updater's quiet period starts over.
  std::function<void()> updatesSessionEnded{};
  // Fetches the shareable screen content once, so that the first capture starts fast.
  std::function<void()> prewarmCapture{};

  // Listening, in the order it calls them.
  // Hands the virtual-display controller its log hook.
  std::function<void(LogSink sink)> setDisplayLogSink{};
  // Whether the screen is locked at this moment, as the screen watch last learnt it (never waits).
  std::function<bool()> isScreenLocked{};
  // Starts answering probes on `port`; `allowPeer` (any thread) says whether a peer's address may
  // have an answer. Returns what stops the responder.
  using AllowPeer = std::function<bool(const std::string& peer)>;
  std::function<std::function<void()>(uint16_t port, const Uuid& hostID, AllowPeer allowPeer, LogSink log)>
      startProbeResponder{};
  // Reachability policy: the relay link (started once; nothing without a relay service), whether it may
  // carry session data (it brokers sessions either way), and the public endpoint it hands to clients
  // ("-": none).
  std::function<void()> startRelayLink{};
  std::function<void(bool allowed)> publishRelayData{};
  std::function<void(const std::string& endpoint)> publishRelayEndpoint{};
  // Makes a router port mapper for the block, not started; none: no port mapping at all.
  std::function<std::shared_ptr<PortMapper>(PortMapperKind kind, uint16_t controlTCP, std::vector<uint16_t> udpPorts,
                                            LogSink onLog, PortMapper::OnMapped onMapped)>
      makePortMapper{};
  // Advertises the host on the local network; returns what withdraws the advertisement.
  std::function<std::function<void()>(uint16_t port, const Uuid& hostID, const std::string& name, LogSink log)>
      startBonjour{};
  // Session wiring: makes a client's session (not started) on an accepted, encrypted transport with the
  // controller's settings. Without it every transport is refused and closed.
  std::function<std::shared_ptr<ControlledSession>(vela::SessionConfig config)> makeSession{};

  // What an admitted client switches on (main executor).
  // The virtual microphone becomes the default audio input.
  std::function<void()> engageDefaultInput{};
  // Wakes the host's displays as user activity would.
  std::function<void()> declareUserActivity{};
  // The screen's lock and the machine's sleep as the desktop session reports them (events on any
  // thread; `stateRead` once the lock state is first known, before any other); returns what stops the
  // watch. Started by listening, before the port search.
  struct ScreenEvents {
    std::function<void()> locked;
    std::function<void()> unlocked;
    std::function<void()> asleep;
    std::function<void()> stateRead;
  };
  std::function<std::function<void()>(ScreenEvents events, LogSink log)> watchScreen{};
  // Keeps the displays from sleeping while a client is connected; returns what lets them sleep again.
  std::function<std::function<void()>()> preventDisplaySleep{};
  // The text-focus watcher: start it with its safety-net poll, its last report, and its handler.
  using FocusInfo = TextFocusWatcher::FocusInfo;
  std::function<void()> startTextFocusWatching{};
  std::function<std::optional<FocusInfo>()> lastTextFocus{};
  std::function<void(std::function<void(const FocusInfo&)> onChange)> setTextFocusHandler{};
  // What the end of the client's session switches off again: the watcher's poll, the default input.
  std::function<void()> stopTextFocusPolling{};
  std::function<void()> restoreDefaultInput{};

  // The virtual devices, called from the session's threads.
  std::function<void(ByteView pcmS16)> writeMicrophone{};
  std::function<void(const vela::PixelBuffer& frame)> pushCameraFrame{};
  std::function<bool()> isCameraConsumed{};
  std::function<bool()> isMicrophoneConsumed{};
  // Starts the camera feeder's consumption watcher and hands it its log hook (main executor).
  std::function<void(LogSink log)> startCameraWatching{};
  // The virtual-display controller's process-wide force-1x flags; any thread.
  std::function<void(bool on)> setForce1xSuppressed{};
  std::function<void(bool on)> setActiveForce1x{};

  // Parts of the host that session wiring reports to and that are not in this program yet; each one not
  // given is skipped.
  // Watchers (main executor): cursor-shape tracking follows every change of the active session (it reads
  // the controller's `session` and `cursorVisible`); client input keeps the compositor awake.
  std::function<void()> syncCursorTracking{};
  std::function<void()> noteInputActivity{};
  // Link memory (the session's threads; it guards itself): the last link estimate of a device, and the
  // seed a new session of that device starts from.
  std::function<void(const vela::LinkSnapshot& snapshot)> recordLinkSnapshot{};
  std::function<std::optional<vela::LinkSeed>(const std::string& deviceKey)> linkSeed{};
  // The pasteboard bridge (main executor, the active session's reports only).
  struct ClipboardBridge {
    // A session became the active one (its client was admitted): the bridge watches the host's
    // pasteboard for it, and for it alone.
    std::function<void(const std::shared_ptr<ControlledSession>& session)> startSync{};
    std::function<void(uint64_t clipId, const std::string& uti, uint32_t size, const std::string& name,
                       const std::optional<Bytes>& inlineBytes)>
        announced{};
    std::function<void(uint64_t clipId, const std::string& uti, const std::string& name,
                       const vela::ClipPayload& payload)>
        completed{};
    std::function<void(uint64_t clipId, const std::string& reason)> failed{};
    std::function<void(vela::ClipDir dir, uint32_t done, uint32_t total)> progress{};
    // The active session ended or gave way to another: the pasteboard poll stops, every pending item
    // fails and what the bridge received for that session is removed.
    std::function<void()> stop{};
    // What an earlier run left in the private clipboard folder is removed (start-up, once this
    // instance is the one that runs the host).
    std::function<void(LogSink log)> removeLeftovers{};
  };
  ClipboardBridge clipboard{};
  // The tray's diagnostics panel: shown or hidden by the diagnostics shortcut (main executor).
  std::function<void()> toggleDiagnosticsPanel{};
};

}  // namespace tavlo
