#pragma once
// The host's one model object: it starts the host as a single instance, listens on its block of ports,
// hands each accepted client connection on, keeps the stream settings and the log. The user interface
// (the tray application, or the plain program's output) observes its published fields and calls its
// operations.
//
// Everything here runs on the main executor: the controller's fields are touched only by its jobs.
// Other threads reach it by posting (the log sink it hands out does so); every closure it hands to
// another object holds it weakly and does nothing once it is gone.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/e2e_identity.hpp"
#include "host/controller/accept_loop.hpp"
#include "host/controller/admission_waiting_list.hpp"
#include "host/controller/handshake_gate.hpp"
#include "host/controller/controlled_session.hpp"
#include "host/controller/controller_settings.hpp"
#include "host/controller/file_log.hpp"
#include "host/controller/log_backlog.hpp"
#include "host/controller/host_controller_seams.hpp"
#include "host/controller/instance_lock.hpp"
#include "host/controller/local_subnets.hpp"
#include "host/controller/path_kind.hpp"
#include "host/controller/port_block_search.hpp"
#include "host/controller/resource_usage.hpp"
#include "hostcore/engines/display_providing.hpp"
#include "hostcore/session/diag_snapshot.hpp"
#include "hostcore/session/host_shortcut.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/published.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/signal_watcher.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/session_messages.hpp"
#include "protocol/transport_interfaces.hpp"
#include "transport/host_listener.hpp"
#include "transport/log_rate_limiter.hpp"

namespace tavlo {

// Why the controller asks the application to end.
enum class HostExit : uint8_t {
  signal,                 // SIGTERM or SIGINT: displays restored, listener and responder stopped
  secondInstance,         // an older hand-started instance runs
  handedOverToService,    // the login service's own instance took over
};

class HostController : public std::enable_shared_from_this<HostController> {
 public:
  using PathKind = tavlo::PathKind;

  // The preferred first port of the block.
  static constexpr uint16_t preferredPort = 47700;
  // The standby instance checks for the older one this often.
  static constexpr uint64_t standbyPollUs = 2'000'000;
  // The resource monitor's period; its first line comes one period after listening starts.
  static constexpr uint64_t resourceMonitorIntervalUs = 60'000'000;
  // Lines kept for the user interface.
  static constexpr size_t logLinesKept = 100;
  // Lines other threads may have waiting for the main executor before the oldest are dropped.
  static constexpr size_t logSinkBacklogLimit = 2000;
  // Of those, lines written per job on the main executor: a flood reaches the main thread in short
  // jobs, one after another, with the event loop's own work between them.
  static constexpr size_t logLinesPerJob = 100;
  // The frame rate sessions stream at.
  static constexpr int64_t defaultTargetFps = 60;
  // A client displaced by another device that comes back sooner is refused (no ping-pong).
  static constexpr uint64_t boomerangWindowUs = 3'000'000;
  // Between the displaced session's goodbye and its transport's end, so that the goodbye gets out.
  static constexpr uint64_t takeoverPauseUs = 300'000;
  // An unlock attempt that the screen has not confirmed by then failed.
  static constexpr uint64_t unlockVerifyUs = 3'000'000;
  // How long an ended session keeps its engines warm for its client's return.
  static constexpr uint64_t warmReserveUs = 90'000'000;
  // Diagnostics snapshots kept for the diagnostics panel.
  static constexpr size_t diagHistoryKept = 120;
  // The clipboard's sending rate: what a session starts with, and the bounds of the rate the link's
  // receive rate allows while it is not clogged (bytes per second).
  static constexpr int64_t clipboardStartBytesPerSec = 512'000;
  static constexpr int64_t clipboardFloorBytesPerSec = 500'000;
  static constexpr int64_t clipboardCeilingBytesPerSec = 64'000'000;
  // A scale chosen by shortcut is applied this long after its last key press unless the session
  // commits it first.
  static constexpr uint64_t scaleApplyDelayUs = 5'000'000;
  // One scale shortcut press moves the scale by this much.
  static constexpr double scaleShortcutStep = 0.05;
  // Diagnostics-shortcut presses closer together than this toggle the panel once.
  static constexpr uint64_t diagToggleDebounceUs = 500'000;
  // NAT-PMP gets this long to map the block before UPnP is tried.
  static constexpr uint64_t upnpFallbackDelayUs = 4'000'000;
  // With NAT on demand, the mapping goes this long after the last session ended.
  static constexpr uint64_t natReleaseDelayUs = 120'000'000;
  // Between the goodbye of a client disconnected by the host and its session's close.
  static constexpr uint64_t disconnectCloseDelayUs = 150'000;
  // The host shortcut actions a session reports.
  enum HostAction : uint8_t { scaleUpAction = 1, scaleDownAction = 2, diagToggleAction = 3 };

  // The executor, the scheduler and the stores must outlive the controller.
  struct Dependencies {
    MainExecutor& main;
    Scheduler& scheduler;      // delayed and periodic steps, the pauses of the port search among them
    JsonStore& settings;       // the user defaults
    KeyValueStore& keyValueStore;  // where the host identity is published
    // The process-wide host identity, loaded on first use (listening).
    std::function<std::shared_ptr<const vela::E2EIdentity>()> identity{};
    // The computer's display name for the identity publication and the advertisement.
    std::string hostName{};
    uint16_t preferredPort = HostController::preferredPort;
    // The log file; none: no file.
    std::optional<std::filesystem::path> logFilePath = FileLog::defaultPath();
    // One line to standard output (the program's own output); empty: standard output itself.
    LogSink standardOutput{};
    // The single-instance lock; none: this instance never takes itself for a duplicate.
    std::optional<std::filesystem::path> instanceLockPath = InstanceLock::defaultPath();
    uint64_t ownStartTicks = InstanceLock::ownStartTicks();
    // Whether the login service started this process (it then waits for an older instance).
    std::function<bool()> launchedByService{};
    // Asks the application to end. The controller does nothing more after calling it.
    std::function<void(HostExit)> exit{};
    // Makes the transport listener; `onLog` takes its lines from its own thread. Empty: the direct path's.
    std::function<std::shared_ptr<vela::TransportListener>(LogSink onLog)> makeListener{};
    PortBlockSearch::Probe portProbe = PortBlockSearch::systemProbe();
    // The machine's local IPv4 subnets, for the path classification.
    LocalSubnets::Enumerate listLocalSubnets = LocalSubnets::systemSubnets;
    std::function<ResourceSample()> sampleResources = [] { return tavlo::sampleResources(); };
    // SIGTERM and SIGINT end the process through `exit` once bootstrap installed their handler.
    bool handleSignals = true;
    // A second SIGTERM or SIGINT, on the signal watcher's thread: ends the process at once, without
    // waiting for the main thread or the ordered quit the first one began. Empty: the second is ignored.
    std::function<void()> exitAtOnce{};
    // The display every session streams, shared by all of them; none without a window system to drive.
    std::shared_ptr<vela::DisplayProviding> sharedDisplay{};
    // Sessions stream the main display instead of making a virtual one (the window system has no
    // output to take): nothing is made main, nothing isolated.
    bool mirrorMainDisplay = false;
    HostControllerSeams seams{};
  };

  // Builds the state: every field gets its initial value, the settings are read from the user defaults.
  static std::shared_ptr<HostController> create(Dependencies dependencies);
  ~HostController();
  HostController(const HostController&) = delete;
  HostController& operator=(const HostController&) = delete;

  // The rest of initialisation, on the main executor: SIGPIPE is ignored, then the single-instance
  // decision runs (bootstrap at once, standby behind an older instance, or quit).
  void start();
  // Once per process, from start() or the standby check.
  void bootstrap();
  // The rest of start-up once the login service is reconciled (main executor).
  void finishBootstrap(bool handOver);
  // The application is ending normally (a menu's Quit): the router's mapping is deleted, the physical
  // displays come back and the virtual display goes (display work, which the program lets finish before
  // it ends). Acts only once bootstrap has armed it.
  void applicationWillTerminate();
  // The program is about to end: the active and the parked session are closed (their transports
  // cancelled, their engines stopped) so that their loops end and stop posting to the main executor.
  // Main executor only.
  void closeSessionsForExit();

  // The log: standard output ("[HOST] " + message), the file, and the last 100 lines in `logLines`.
  // Main executor only.
  void log(const std::string& message);
  // The file only; callable from the main executor, returns at once.
  void fileLog(const std::string& message);
  // A log hook for other objects: callable from any thread, it reaches log() on the main executor.
  LogSink logSink();
  // Waits until every line logged so far is in the file.
  void flushLog();
  const std::optional<std::filesystem::path>& logFilePath() const { return fileLog_.path(); }

  // Path classification and policy; safe from any thread.
  PathKind pathKind(const std::string& remote);
  bool isPathAllowed(PathKind kind) const;

  // Called for every transport the accept loop (or the relay link) yields: a transport on a path the
  // user switched off is closed; any other waits at the handshake gate, with no thread of its own,
  // until its E2E hello passes; then it is wrapped in the encrypting transport and handed to session
  // wiring on the main executor.
  void acceptTransport(std::shared_ptr<vela::SessionTransport> transport);
  // The gate the accepted transports wait at (made at the first one); tests wait on it.
  std::shared_ptr<HandshakeGate> handshakeGate();

  // The screen's lock state, as the session watchers report it. A lock, and the displays going to
  // sleep, disconnect the client.
  void screenLocked();
  void screenUnlocked();
  void screensAsleep();
  // The lock state is known: a screen already locked at start refuses automatic hellos until it unlocks.
  void checkLockedAtStart();
  // Ends the active client's session from the host's side (the menu, a screen lock, sleeping displays):
  // goodbye, listening state, then the session's close and the display clean-up 150 ms later. The
  // session is not parked. Nothing without an active session.
  void disconnectClient();

  // Stream settings reached by the session's shortcuts: the logical display scale (1.0…2.0, remembered
  // for the current device; a Mac client sets its own), the pending shortcut choice and its commit.
  void setScale(double value);
  void commitScale();
  void handleHostAction(uint8_t action, bool down);
  // Every stream setting is stored under its key at once and reaches the running session at once.
  // The keyframe policy after the user interface wrote `kfAdaptive` or `kfFixedSec` (clamped to
  // 0.1…10.0 s here).
  void applyKeyframePolicy();
  // A host shortcut for action 1, 2 or 3 (other numbers do nothing).
  void setShortcut(uint8_t action, vela::HostShortcut shortcut);
  // Force-1x, remembered for the current device as well.
  void setForce1x(bool on);
  // The client's smoothness buffer, clamped to 0…1000 ms.
  void setBufferMs(int64_t ms);
  // The user's cap on the sending rate in kbit/s; 0 (or anything negative) is no cap.
  void setMaxBandwidthKbps(int64_t kbps);

  // Reachability switches of the settings window: each path on or off, stored at once; a session that
  // runs on a path just switched off is dropped (its client comes back on another one).
  void setAllowLAN(bool on);
  void setAllowVPN(bool on);
  void setAllowNAT(bool on);
  void setAllowRelay(bool on);
  // The path the host asks its client to take ("auto", "lan", "vpn", "nat", "relay"), live.
  void setClientForcePath(const std::string& path);
  uint8_t clientForcePathCode() const;
  void dropSessionIfPathDisallowed();

  // The router port mapping of the block: NAT-PMP first, UPnP when NAT-PMP has not mapped within 4 s
  // (at once when NAT-PMP is switched off). The stale-mapping purge of an earlier run ends first.
  void startNATMapping();
  void purgeStaleNAT();
  void cancelStalePurge();
  // A router answered: the endpoint goes to the key-value store and the relay.
  void publishMappedEndpoint(const std::string& ip, uint16_t port, const std::string& via);
  // NAT on demand: a client asked for a session through the relay, so the block is mapped (and a
  // pending release is called off); the mapping goes 120 s after the last session ended.
  void armNATOnDemand(const std::string& reason);
  void scheduleNATRelease();
  void releaseNAT(const std::string& reason);
  // The mappers stop and delete the router's mappings; a pending fallback or release is called off.
  void stopPortMapping();
  // The public endpoint is cleared and taken back from the key-value store and the relay.
  void withdrawPublicEndpoint();
  // NAT switched off: the endpoint is withdrawn and a session that came in through the router is cut.
  void withdrawNATAddressAndCutSession(const std::string& reason);
  bool portMappingLive() const { return natMapper_ || upnpMapper_; }
  // A router granted a mapping that the live mappers have not taken down (a mapper alone maps nothing).
  bool portMappingHeld() const {
    return (natMapper_ && natMapper_->hasMapping()) || (upnpMapper_ && upnpMapper_->hasMapping());
  }
  // The line of a release: what was withdrawn (the router's mapping, the published address), or none when
  // there was nothing to withdraw.
  std::optional<std::string> natReleaseLine(const std::string& reason, bool mappingHeld, bool addressPublished) const;
  // The relay link registered with its service (true) or lost or failed its registration (false); main
  // executor. While the relay is down the block is mapped as without a relay; when it is back, the
  // mapping goes by the on-demand rule again.
  void relayLinkChanged(bool registered);
  // Mapping waits for a client's request only when a relay service can bring that request: without one,
  // or while its link is down, the block is mapped and kept. Before the link's first outcome it counts
  // as up: a working relay opens nothing on the router at start.
  bool mapsOnDemand() const { return natOnDemand_ && relayConfigured() && relayRegistered_ != false; }
  bool relayConfigured() const { return static_cast<bool>(deps_.seams.startRelayLink); }

  // Session wiring: builds the client's session on the accepted, encrypted transport with the settings of
  // the moment, sets every callback and starts it. The controller keeps no reference to it until its
  // client's hello passes admission.
  void handleSession(std::shared_ptr<vela::SessionTransport> transport);
  // A transport whose key is agreed: session wiring, closing only this connection when the system
  // refuses its threads.
  void startKeyedSession(const std::shared_ptr<vela::EncryptedTransport>& wrapper);

  // Admission of a client whose hello just arrived: busy, locked-screen, boomerang and automatic
  // reconnect refusals, warm resume from a parked session, takeover of the active one. `done` gets the
  // decision on the main executor, at once or after the displaced session's pause; it is dropped
  // unanswered only when the controller or its executor goes away first.
  using AdmissionDone = std::function<void(bool admitted)>;
  void approveTakeover(const std::string& devKey, bool userInitiated, std::shared_ptr<ControlledSession> newSession,
                       AdmissionDone done);
  // The takeover gate of a session: asks approveTakeover on the main executor and waits for the answer.
  // Called on the session's thread, never on the main executor; false when the controller or the session
  // is gone.
  static bool takeoverGate(std::weak_ptr<HostController> controller, std::weak_ptr<ControlledSession> session,
                           const std::string& devKey, bool userInitiated);

  // The clipboard's sending rate after a diagnostics snapshot: what the link receives while it is not
  // clogged (within the floor and ceiling), else the floor.
  static int64_t clipboardRateFor(const vela::DiagSnapshot& snapshot);

  // Keeps an ended session whose engines stay warm for its client's quick return; `deviceKey` is the key
  // it was admitted with.
  void setParkedSession(std::shared_ptr<ControlledSession> parked, std::optional<std::string> deviceKey) {
    parkedSession_ = std::move(parked);
    parkedDeviceKey_ = std::move(deviceKey);
  }

  // Published state (read and observed on the main executor).
  Published<bool> isListening{false};
  Published<std::optional<std::string>> publicEndpoint;
  Published<std::string> status{"Stopped"};
  Published<bool> clientConnected{false};
  Published<std::string> clientName;
  Published<std::optional<vela::Platform>> clientPlatform;
  Published<std::optional<vela::DiagSnapshot>> diag;
  Published<std::vector<vela::DiagSnapshot>> diagHistory;
  Published<std::vector<std::string>> logLines;
  Published<double> scale;
  Published<int64_t> targetFps{defaultTargetFps};
  Published<bool> kfAdaptive;
  Published<double> kfFixedSec;
  Published<std::optional<double>> scaleHudValue;
  Published<vela::HostShortcut> scaleUpShortcut;
  Published<vela::HostShortcut> scaleDownShortcut;
  Published<vela::HostShortcut> diagShortcut;
  Published<bool> force1x;
  Published<bool> force1xAvailable{true};
  Published<bool> cursorVisible;
  Published<int64_t> bufferMs;
  Published<int64_t> maxBandwidthKbps;
  Published<bool> hqDownscale;
  Published<std::optional<std::string>> mappedVia;
  Published<bool> allowLAN;
  Published<bool> allowRelay;
  Published<std::string> clientForcePath;
  Published<std::string> lastSwitchInfo{"—"};
  Published<bool> mbbEnabled;
  Published<bool> useNATPMP;
  Published<bool> useUPnP;
  Published<bool> allowVPN;
  Published<bool> allowNAT;
  Published<std::string> updateStatus;
  Published<bool> standby{false};
  Published<bool> inputBlocked{false};

  // Plain state.
  const std::shared_ptr<ControlledSession>& session() const { return session_; }
  const std::shared_ptr<ControlledSession>& parkedSession() const { return parkedSession_; }
  const std::optional<std::string>& connectedDeviceKey() const { return connectedDeviceKey_; }
  const std::optional<std::string>& currentDeviceKey() const { return currentDeviceKey_; }
  bool takeoverBusy() const { return takeoverBusy_; }
  bool holdsDisplaysAwake() const { return static_cast<bool>(releaseDisplaySleep_); }
  bool unlockVerifyPending() const { return unlockVerifyPending_; }
  uint16_t controlPortInUse() const { return controlPortInUse_; }
  bool hostLocked() const { return hostLocked_; }
  bool natOnDemand() const { return natOnDemand_; }
  bool bootstrapped() const { return bootstrapped_; }

 private:
  struct Private {};

 public:
  HostController(Private, Dependencies dependencies);

 private:
  // Start-up (host_controller.cpp).
  bool anotherInstanceIsOlder();
  void pollStandby();
  void installSignalHandlers();
  void watchScreen();
  void terminateOnSignal();
  // Every end of the program (a signal, a quit) takes the block's mapping off the router.
  void releaseMappingAtExit();
  // The on-demand release, 120 s from now unless a session exists then (replaces a pending one).
  void armNATRelease();

  // Listening (host_controller_listening.cpp).
  void startListening();
  // One test of the preferred block after `pauses` pauses; the next one is a timer, so that start-up
  // goes on from its job while the main executor runs others.
  void searchPortBlock(int pauses);
  void listenOn(const PortBlockSearch::Result& found);
  bool startListener(uint16_t base);
  void startReachability(uint16_t base);

  // Log and resource monitor (host_controller_log.cpp).
  void startResourceMonitor();

  // Admission (host_controller_admission.cpp).
  // Admission past the locked-screen and busy checks, once no display work is in flight.
  void admitAfterChecks(const std::string& devKey, bool userInitiated, std::shared_ptr<ControlledSession> newSession,
                        AdmissionDone done);
  void admitAfterWarmCheck(const std::string& devKey, bool userInitiated, std::shared_ptr<ControlledSession> newSession,
                           AdmissionDone done);
  void accept(const std::string& devKey, const std::shared_ptr<ControlledSession>& newSession);
  void loginReceived(const std::weak_ptr<ControlledSession>& weakSession);
  void verifyUnlock();

  // Session wiring (host_controller_wiring.cpp).
  void setSession(std::shared_ptr<ControlledSession> session);
  void wireCallbacks(const std::shared_ptr<ControlledSession>& session);
  void sessionEnded(const std::shared_ptr<ControlledSession>& ended);
  void mbbAttach(const vela::MbbAttach& attach, const std::shared_ptr<ControlledSession>& attaching);
  void wireClipboardBridge(vela::SessionCallbacks& c, const std::weak_ptr<ControlledSession>& weakS);
  void publishDiagnostics(const vela::DiagSnapshot& snapshot);
  // After the session ended or was disconnected: the virtual display goes when physical displays were
  // isolated, or when it was re-moded so often that a fresh one serves the next client better. Display
  // work.
  void cleanUpDisplay(const std::string& recreateLine);
  // At the end of the program: the physical displays back on, the virtual display gone. Display work,
  // which the program waits for (within a limit) before it ends.
  void restoreDisplaysAtExit();
  // Hands `work` to the display worker (runDisplayWork; in place without one). Until every job handed
  // over has run, a client's admission waits, so that the next session's display never races a restore.
  void displayWork(std::function<void()> work);
  void displayWorkDone();
  // The active session goes without a goodbye (its path was switched off): the controller's client state
  // is cleared at once and the session closes on the main executor.
  void dropSessionNow();
  // What acceptance switched on for the client is switched off and the state reads "listening" again.
  void clearClientState();
  // Runs `body` on the main executor while the controller exists and, when `sameSession`, only while
  // `session` is still the one the callback belongs to (or both are gone).
  // The executor outlives the controller, so callbacks reach it without holding the controller.
  using MainBody = std::function<void(HostController&)>;
  static void onMain(MainExecutor& main, const std::weak_ptr<HostController>& weak, MainBody body);
  static void onMainForSession(MainExecutor& main, const std::weak_ptr<HostController>& weak,
                               const std::weak_ptr<ControlledSession>& session, MainBody body);

  Dependencies deps_;
  FileLog fileLog_;
  // Lines from logSink() waiting for the main executor, shared with every sink handed out.
  std::shared_ptr<LogBacklog> logBacklog_ = std::make_shared<LogBacklog>(logSinkBacklogLimit);
  InstanceLock instanceLock_;
  LocalSubnets localSubnets_;  // also used by the probe responder's thread (own lock)

  // Fields of the main executor.
  uint16_t controlPortInUse_ = HostController::preferredPort;
  bool natOnDemand_ = true;
  bool hostLocked_ = false;
  bool unlockVerifyPending_ = false;
  std::string portScanDiag_;
  std::shared_ptr<const vela::E2EIdentity> identity_;  // from listening on
  std::shared_ptr<vela::TransportListener> listener_;
  std::unique_ptr<AcceptLoop> acceptLoop_;
  std::shared_ptr<HandshakeGate> handshakeGate_;
  // Connections refused on a switched-off path: any peer can make one, so their lines are budgeted.
  vela::LogRateLimiter refusedPathLines_{vela::HostListener::peerLogWindowUs, vela::HostListener::peerLogLinesPerWindow};
  std::function<void()> stopProbeResponder_;
  std::function<void()> stopBonjour_;
  std::unique_ptr<SignalWatcher> signalWatcher_;
  std::function<void()> stopScreenWatch_;
  ScopedTimer resourceTimer_;
  ScopedTimer standbyTimer_;
  ScopedTimer portSearchTimer_;  // armed while a busy preferred block is waited for
  // Admission and the active client.
  AdmissionWaitingList waitingForAdmission_;
  std::shared_ptr<ControlledSession> session_;
  std::shared_ptr<ControlledSession> parkedSession_;
  std::optional<std::string> parkedDeviceKey_;  // the key the parked session was admitted with
  bool takeoverBusy_ = false;
  int displayWorkInFlight_ = 0;
  // The admission that waits for the display work in flight (takeoverBusy_ is set meanwhile).
  std::function<void()> admissionAfterDisplayWork_;
  std::optional<uint64_t> lastTakeoverAtUs_;  // the scheduler's clock
  std::optional<std::string> displacedDeviceKey_;
  std::optional<std::string> connectedDeviceKey_;
  std::optional<std::string> currentDeviceKey_;
  std::function<void()> releaseDisplaySleep_;  // set while the displays are held awake
  ScopedTimer takeoverPauseTimer_;
  ScopedTimer unlockVerifyTimer_;
  ScopedTimer parkExpiryTimer_;
  // Port mapping.
  std::shared_ptr<PortMapper> natMapper_;
  std::shared_ptr<PortMapper> upnpMapper_;
  std::shared_ptr<PortMapper> purgePMP_;
  std::shared_ptr<PortMapper> purgeUPnP_;
  ScopedTimer natReleaseTimer_;
  std::optional<bool> relayRegistered_;  // none before the relay link's first outcome
  ScopedTimer upnpFallbackTimer_;
  // Stream settings.
  double pendingScaleTarget_ = 1.0;
  ScopedTimer scaleApplyTimer_;
  std::optional<uint64_t> lastDiagToggleUs_;  // the scheduler's clock
  bool started_ = false;
  bool bootstrapped_ = false;
  bool willTerminateArmed_ = false;
  bool exiting_ = false;
};

}  // namespace tavlo
