#pragma once
// HostSession: one connected client's streaming session. The owner (the host controller) creates it
// with create(), sets its callbacks, calls setMbbCapable and start(), and ends it with sendBye() and
// close(); the session reports only through its callbacks.
//
// How the code is laid out (follow it when you add to the session):
// - State. Everything the session changes while it runs is one SessionState (session_state.hpp) under
//   the one session mutex, made of a sub-struct per concern, each in its own header: path
//   (transport_path_state), identity and liveness (identity_state), engines (engine_state), warm reserve,
//   keyframes/LTR/IDR (keyframe_state), retransmission budget, send path, adaptation, geometry/scale/fps,
//   input and shortcuts, audio/camera/microphone (media_devices_state) and diagnostics. Add a field to
//   its concern's struct. What never changes after construction is a const member (the settings of
//   construction, the tunables); what guards itself and is never replaced (retransmission store, link
//   estimator, fluidity governor, clipboard engine, encode and pacer queues) is in SessionComponents and
//   is used without the session mutex.
// - Locking. A step takes the mutex through Locked (host_session_locked.hpp), changes fields, and queues
//   on it what must happen after the release: log lines, control packets, callbacks, engine calls.
//   Locked runs them, in order, once the mutex is released. Nothing is logged, sent or called back, and
//   no engine is called, while the mutex is held; no step waits under it. The bitrate controller and the
//   keyframe-interval controller have no lock of their own: call them only under the mutex.
// - Pure logic (IDR rate limit, keyframe interval, tunables, clamps, path classification, the "0 means
//   never" time helpers) is in free functions of their own files, tested without threads.
// - Member functions live in one .cpp per concern: host_session.cpp (construction, accessors,
//   callbacks, clipboard wiring), host_session_control.cpp (start, the control loop, its dispatch table
//   and the hello watchdog), host_session_control_messages.cpp (ping, keyframe requests, LTR acks,
//   resize, client path, clipboard, switch messages and the second-path attach handed to onMbbAttach),
//   host_session_lock_screen.cpp (login, unlock, lock state, bye), host_session_keyframes.cpp (keyframe
//   policy and the push into the encoder), host_session_hello.cpp (handleHello),
//   host_session_lifecycle.cpp (teardown, close, cancelTransportNow, destruction),
//   host_session_display_mode.cpp (scheduleReconfigure, applyClientState), host_session_camera_mic.cpp
//   (handleCamConfig). A new concern gets a file of its own.
// - Threads. Each loop is a detached thread (session_threads.hpp) holding the transport it reads and the
//   session weakly; the control loop holds the session strongly until its hello has been handled.
//   Serial queues are SerialExecutors, timers are jobs of deps.scheduler, holding the session weakly.
//   Every time stamp comes from deps.scheduler->clock() (0 means "never"). The last reference to a
//   session may drop on any thread.
// - Process-wide state (display gate, rung memory, process flags), the engine factory, the injector
//   maker and the listener's real ports come in SessionDeps; tests hand each session fresh ones
//   (tests/hostcore/session/session_test_kit.hpp).
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "hostcore/engines/input_event.hpp"
#include "hostcore/session/diag_snapshot.hpp"

#include "hostcore/session/display_gate_lease.hpp"
#include "hostcore/session/host_shortcut.hpp"
#include "hostcore/session/session_callbacks.hpp"
#include "hostcore/session/session_components.hpp"
#include "hostcore/session/session_config.hpp"
#include "hostcore/session/session_deps.hpp"
#include "hostcore/session/session_state.hpp"
#include "hostcore/session/session_tunables.hpp"
#include "hostcore/session/warm_engine_bundle.hpp"
#include "platform/runtime/snapshot_slot.hpp"
#include "protocol/chunker.hpp"
#include "protocol/messages.hpp"

namespace tavlo {
class Nv12Buffer;
}

namespace vela {

class CaptureEngine;
class EncoderEngine;
struct EncodedFrame;

class HostSession : public std::enable_shared_from_this<HostSession> {
 public:
  using HostShortcut = vela::HostShortcut;
  using WarmEngineBundle = vela::WarmEngineBundle;
  using DiagSnapshot = vela::DiagSnapshot;
  using Callbacks = SessionCallbacks;

  static constexpr uint64_t helloTimeoutUs = 8'000'000;  // a client that says no hello is closed

  // Builds the session; starts nothing (no thread, timer, engine or traffic).
  static std::shared_ptr<HostSession> create(SessionConfig config, SessionDeps deps);
  // Releases what the session holds. A transport that teardown or close() has not cancelled, and that
  // was not donated to another session, is closed: its loop ends, and no connection outlives its session.
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // Starts the control loop and the hello watchdog; called once, after the callbacks are set.
  void start();

  // Owner's operations.
  void setMbbCapable(bool capable);
  void setKeyframePolicy(bool adaptive, double fixedSec);
  // Pushes the interval in force into the encoder, again until no policy change raced the push.
  void applyKeyframeToEncoder();
  void sendBye();
  void sendLockState(bool locked, bool armed);
  // Types the stored lock-screen password, only over a transport whose encryption is established; true
  // when the injector was asked to type.
  bool attemptUnlock();
  // Ends a session the owner no longer wants (does not call onDisconnect).
  void close();
  // Releases held input and closes the transport, once.
  void cancelTransportNow();

  // Uplink and input loops (host_session_uplink*.cpp, host_session_input*.cpp): the hello starts them
  // once the host hello is sent, and a path promotion again on the new primary transport. Each of the
  // four loops (video upstream, reliable input, unreliable input, microphone) reads the primary
  // transport of the moment it starts, holds the session weakly and ends when its stream ends.
  void startUplinkLoops();
  // One packet of each loop, as the loop hands it over (tests call them directly).
  void handleVideoUpstreamPacket(ByteView datagram);
  void handleMicPacket(ByteView datagram);
  void handleInputReliablePacket(ByteView packet);
  void handleInputUnreliablePacket(ByteView datagram);
  // The client's periodic flow-bind keepalive on the unreliable input flow.
  void noteFlowBindKeepalive();
  // The host shortcuts the owner sets (the defaults are Control+Option+Command with =, -, D and H).
  void setHostShortcuts(HostShortcut scaleUp, HostShortcut scaleDown, HostShortcut diag, HostShortcut hiDPI);

  // Feedback-driven adaptation (host_session_feedback*.cpp): one frame feedback of the client through
  // the controllers, the session's own averages, relief, the cascade and the encoder's settings.
  void applyFeedback(const FrameFeedback& feedback);

  // Lifecycle: reaper, warm reserve (host_session_lifecycle.cpp).
  // Starts the reaper (first tick 15 s from now, then every 5 s) and counts as client activity; engine
  // setup calls it once the engines run. Replaces an earlier reaper; nothing once teardown has begun.
  void startReaper();
  // Hands a parked session's running engines to the next session of the same device when its hello
  // asks for the window size the engines were set up for; nothing otherwise (the reserve stays parked).
  std::optional<WarmEngineBundle> surrenderEngines(int64_t helloW, int64_t helloH);
  // Stops the engines of a bundle the owner handed in and the hello did not take.
  void discardPendingWarmBundle();
  // Takes the bundle the owner handed in (under the mutex, like every access to it); the hello resumes it.
  std::optional<WarmEngineBundle> takePendingWarmBundle();

  // Stream geometry (host_session_geometry.cpp). The capture path calls updateEncoderCapacity(targetFps)
  // and then updateSurfaceLadder() when more than a second has passed since the last capacity drain;
  // the encode job passes each frame through hqDownscaled, then softFiltered, before encoding.
  void updateEncoderCapacity(int64_t fps);
  void updateSurfaceLadder();
  // Sets the ladder's stream scale (0.5…1.0) and reconfigures to it; the display keeps its mode.
  void applyStreamScale(double scale);
  FrameDownscaler::Frame hqDownscaled(const FrameDownscaler::Frame& frame);
  FrameDownscaler::Frame softFiltered(const FrameDownscaler::Frame& frame);
  // Whether capture delivers the full backing for the HQ downscale; the owner switches it.
  void setHQDownscale(bool on);

  // Isolation gate (host_session_isolation_gate.cpp). armIsolationGate follows every isolation of the
  // physical displays (the hello's and a re-created display's); the capture path asks
  // isolationGateBlocks for each frame and drops the frame on true.
  void armIsolationGate();
  bool isolationGateBlocks(uint64_t nowUs);

  // Display mode, scale, cursor and reconfiguration (host_session_display_mode.cpp).
  // Scale changes (1.0…2.0) within 120 ms cost one transition hint and one mode change; in 1x mode or
  // mirroring they reconfigure the stream instead.
  void setScale(double scale);
  void setForce1x(bool on);
  // Clamped to 24…60; a change rebuilds the encoder even at the same size.
  void setTargetFps(int64_t fps);
  void setCursorVisible(bool visible);
  // Sends the image on the control channel once the hello is accepted; false (nothing sent) before
  // that, or when a size, hotspot or scale lies outside its field, or the bytes are not width × height × 4.
  bool sendCursorImage(uint32_t cursorId, const Bytes& bgra, int64_t width, int64_t height, int64_t hotspotX,
                       int64_t hotspotY, int64_t scale, CursorShape shape);
  double currentScale() const;
  int64_t streamPixelWidth() const;

  // Audio send path (host_session_audio.cpp). Engine setup hands the capture engine's audio to the
  // session with startAudioSendPath; any other source of audio blocks (the system-audio tap) feeds
  // audioInput(). handleAudio takes one block (interleaved signed 16-bit stereo at 48 kHz) at a time, on
  // the source's audio queue; blocks must not be handed over from two threads at once.
  void startAudioSendPath(CaptureEngine& capture);
  std::function<void(const tavlo::Bytes& block)> audioInput();
  void handleAudio(ByteView pcm);

  // Camera, microphone and stream-buffer control, and the control messages sent for the host application
  // (host_session_camera_mic.cpp, host_session_host_messages.cpp). Every message goes on the control
  // channel of the current transport.
  void sendCamControl(bool enabled);
  void sendMicControl(bool enabled);
  // The rung is the level clamped into the ladder; the level itself is remembered as the last one sent.
  void sendCamQuality(int64_t levelIdx);
  void sendMicQuality(int64_t levelIdx);
  // Stores the budget and sends it clamped to 0…65,535 ms.
  void sendStreamBuffer(int64_t ms);
  // The user's cap on the sending rate; below 100 kbit/s none.
  void setWireCap(int64_t kbps);
  // The focused text field (frame in global points, top left). Kept for later before the hello was
  // answered and during a drag.
  void sendTextFocus(bool active, std::optional<tavlo::ScreenRect> fieldFrame);
  // Offers the item to the client and announces it (inline when in memory and at most 8,192 bytes);
  // returns its clip id.
  uint64_t announceClipboard(const std::string& uti, const std::string& name, const ClipPayload& payload);
  void requestClipboard(uint64_t clipId, uint32_t fromOffset);
  bool clientMicCapable() const;
  bool clientCamCapable() const;
  // Engine setup, after capture start: replayInitialFocus sends the focus report kept from before the
  // hello; sendInitialDeviceState sends the stream buffer and each capable device's on/off and starting
  // quality rung (one below the rung its device last reached).
  void replayInitialFocus();
  void sendInitialDeviceState();
  // Run on every frame feedback by the adaptation: which devices the host wants now, each uplink's
  // measuring window and its quality rung.
  void evaluateUplinks();

  // Multipath (host_session_multipath*.cpp): a second path of the same client, attached while the first
  // still works (make-before-break). The owner calls donateTransportForMbb on the session an attach
  // arrived on (from onMbbAttach): that session's teardown then leaves the transport open, and the
  // transport goes to the client's running session with attachSecondarySink, which copies the video to it
  // and runs its control loop until the client promotes it, says bye or the path ends.
  std::shared_ptr<SessionTransport> donateTransportForMbb();
  void attachSecondarySink(std::shared_ptr<SessionTransport> transport, uint32_t sessionId, bool viaVPN);
  // Tells the client which kind of path to use (ForcePath codes: 0 auto, 1 LAN, 2 NAT, 3 relay, 4 VPN).
  void sendForcePath(uint8_t path);
  // Closes every second path; teardown calls it when the client goes.
  void detachAllSecondarySinks();
  // Closes the second paths whose path the owner's isPathAllowed refuses (a path switched off).
  void detachDisallowedSecondarySinks();

  // Passes the line to onLog when it is set; nothing else. Never called with the mutex held.
  void log(const std::string& line) const;

  // Accessors (each takes the mutex briefly).
  std::shared_ptr<SessionTransport> transport() const;
  std::string peerDescription() const;
  bool isTransportEncrypted() const;
  bool clientSupportsUnlock() const;
  std::optional<std::string> deviceKey() const;
  std::optional<WarmEngineBundle> pendingWarmBundle() const;
  void setPendingWarmBundle(std::optional<WarmEngineBundle> bundle);
  int64_t pendingHelloW() const;
  int64_t pendingHelloH() const;
  bool parkedWarm() const;
  // The id the hello was accepted under (0 before); a second path names it to attach.
  uint32_t sessionId() const;
  // Stores the client's stream buffer without sending it: engine setup sends it after the hello.
  void setStreamBufferMs(int64_t ms);
  // The session's clipboard engine (guards itself; lives as long as the session).
  ClipboardTransfer& clipboard() const { return *components_.clip; }
  const std::shared_ptr<DisplayProviding>& display() const { return display_; }
  const SessionTunables& tunables() const { return tunables_; }

  // Callbacks: a snapshot to call, a whole replacement, or an edit of some of them (copy, edit, publish).
  std::shared_ptr<const SessionCallbacks> callbacks() const { return callbacks_.get(); }
  void setCallbacks(SessionCallbacks callbacks) { callbacks_.set(std::move(callbacks)); }
  void updateCallbacks(const std::function<void(SessionCallbacks&)>& edit) { callbacks_.update(edit); }

 private:
  struct Private {};

 public:
  HostSession(Private, SessionConfig config, SessionDeps deps);

 private:
  class Locked;
  friend struct HostSessionProbe;  // tests read and set state through it

  // Camera and microphone messages queued on a step's hold (host_session_camera_mic.cpp).
  void queueCamControl(Locked& locked, bool enabled);
  void queueMicControl(Locked& locked, bool enabled);
  void queueCamQuality(Locked& locked, int64_t levelIdx);
  void queueMicQuality(Locked& locked, int64_t levelIdx);
  std::optional<tavlo::ScreenRect> streamedDisplayBounds(uint32_t displayID,
                                                         const std::shared_ptr<InputInjector>& injector) const;

  // Whether the control loop goes on after a message.
  enum class LoopStep : uint8_t { carryOn, endWithoutTeardown };

  uint64_t nowUs() const { return deps_.scheduler->clock().nowUs(); }
  bool helloSeen() const;
  void wireClipboard();

  // Control loop (host_session_control.cpp).
  static void runControlLoop(std::shared_ptr<HostSession> owner, std::shared_ptr<SessionTransport> transport);
  LoopStep handleControlPacket(const std::shared_ptr<SessionTransport>& readFrom, ByteView packet);
  void helloWatchdogFired();

  // Control messages (host_session_control_messages.cpp, host_session_lock_screen.cpp).
  void answerPing(const std::shared_ptr<SessionTransport>& readFrom, const Ping& ping);
  void handleResizeRequest(const ResizeRequest& request);
  void handleIdrRequest(const std::optional<IdrRequest>& request);
  void handleLtrAck(const LtrAck& ack);
  void handleClientPath(const ClientPathMessage& path);
  void handleClipAnnounce(const ClipAnnounce& announce);
  void handleClipRequest(const ClipRequest& request);
  LoopStep handleMbbAttach(const std::optional<MbbAttach>& attach);
  void handleSwitchInfo(const SwitchInfo& info);
  void handleLoginRequest(const LoginRequest& request);

  // Multipath (host_session_multipath*.cpp).
  static void runSinkControlLoop(std::weak_ptr<HostSession> weak, std::shared_ptr<HostSink> strongSink);
  LoopStep handleSinkPacket(const std::shared_ptr<HostSink>& sink, ByteView packet);
  void promoteToPrimary(const std::shared_ptr<HostSink>& sink);
  void detachSecondarySink(uint32_t sessionId);
  void replayDeviceState();

  // Hello, disconnect, reconfiguration, client state and camera configuration (see their files).
  void handleHello(const ClientHello& hello);
  void handleClientDisconnect();
  void scheduleReconfigure();
  void applyClientState(const ClientStateMessage& message);
  void handleCamConfig(const CamConfig& config);

  // Uplink, input and adaptation helpers (host_session_uplink*.cpp, host_session_input*.cpp,
  // host_session_feedback*.cpp, host_session_diagnostics.cpp).
  void intakeFeedback(const FrameFeedback& feedback);
  void handleCamChunk(const CamChunk& chunk);
  void intakeInputEvent(const InputEvent& event, bool reliable);
  struct FeedbackWindow;
  void closeFeedbackWindow(const FeedbackWindow& window, const FrameFeedback& feedback);
  DiagSnapshot fillSnapshotLocked(SessionState& state, const FeedbackWindow& window, const FrameFeedback& feedback,
                                  int64_t encoderMaxQP, uint64_t nowUs) const;
  void deliverSnapshot(DiagSnapshot snapshot);

  // Lifecycle helpers (host_session_lifecycle.cpp).
  void reaperTick();
  void sendLinkSnapshot();
  bool takeTeardownGate();
  void stopUnusedBundle(const WarmEngineBundle& bundle);
  // Runs `body` on a session thread of its own, holding the session until it returns (the last
  // reference may then drop there).
  void runTask(const char* name, std::function<void(HostSession&)> body);
  // Applies the wanted cursor visibility until no newer one waits (one such task at a time).
  void applyWantedCursorVisibility();

  // Stream geometry helpers (host_session_geometry.cpp).
  std::pair<int64_t, int64_t> pendingCodedSize(Locked& locked);
  void armReconfigureStep(uint64_t delayUs);
  void reconfigureStep();

  // Hello, engine setup and the frame send path (host_session_hello*.cpp, host_session_engines.cpp,
  // host_session_capture.cpp, host_session_send*.cpp).
  struct HelloDisplay {
    uint32_t displayID = 0;
    int64_t w = 0;  // the stream size, also the provided display's
    int64_t h = 0;
    int64_t captureW = 0;  // differs from the stream size only for the HQ downscale
    int64_t captureH = 0;
    int64_t pointsW = 0;  // the injector's coordinate space (0: the display's own)
    int64_t pointsH = 0;
    bool virtualPath = false;
    bool hadDisplay = false;  // the provider had a display before this hello
  };
  void refuseHello(const std::string& why);
  bool admitClient(const ClientHello& hello, const std::string& clientKey);
  void learnClient(const ClientHello& hello, const std::string& clientKey);
  std::optional<HelloDisplay> obtainVirtualDisplay(const ClientHello& hello);
  std::optional<HelloDisplay> obtainMirrorDisplay();
  void logModeReport(uint32_t displayID);
  void bindInjector(const HelloDisplay& display);
  void sendAcceptingHostHello();
  void startEngines(const HelloDisplay& display, int64_t windowPxW, int64_t windowPxH);
  void finishEngineSetup(const std::shared_ptr<EncoderEngine>& enc, const std::shared_ptr<CaptureEngine>& cap,
                         uint32_t displayID, int64_t providedPxW, int64_t providedPxH, int64_t pw, int64_t ph,
                         int64_t startCaptureW, int64_t startCaptureH, bool warmAdopted);
  void wireEngines(const std::shared_ptr<EncoderEngine>& enc, const std::shared_ptr<CaptureEngine>& cap,
                   int64_t w, int64_t h);
  void armStartupKeyframeCap(bool warmAdopted);
  void startCapture(const std::shared_ptr<CaptureEngine>& cap, uint32_t displayID, int64_t w, int64_t h);
  void onCapturedFrame(const std::shared_ptr<const tavlo::Nv12Buffer>& pixelBuffer, uint64_t captureTimestampUs);
  void handleEncoded(const EncodedFrame& frame, int64_t pointsW, int64_t pointsH);
  void sendChunk(const SharedVideoChunk& chunk);
  void sendParity(const VideoParity& parity);
  // What one video datagram takes under the lock: its session id and sequence, counted as sent, with the
  // second paths and the primary transport of that moment.
  struct VideoSlot {
    uint32_t sessionId = 0;
    uint32_t seq = 0;
    std::vector<std::shared_ptr<HostSink>> sinks;
    std::shared_ptr<SessionTransport> primary;
  };
  VideoSlot takeVideoSlot();
  void sendChunksPaced(std::vector<SharedVideoChunk> chunks, uint64_t spreadUs);
  void sendParityPaced(std::vector<VideoParity> parity, uint64_t spreadUs);
  void sendParityInterleaved(std::vector<VideoParity> parity, int64_t chunkCount, int64_t groupCount, uint64_t spreadUs);
  // Queues `job` on the pacer under a ticket of the bounded backlog (which may drop the oldest queued
  // jobs to make room); the job asks pacedJobLive(ticket) before each datagram and ends with
  // finishPacedJob(ticket).
  void postPaced(int64_t packets, std::function<void(HostSession&, uint64_t ticket)> job);
  bool pacedJobLive(uint64_t ticket) const;  // takes no lock
  void finishPacedJob(uint64_t ticket);
  int fecGroupCount(FrameFlags flags, int64_t chunkCount, bool hot, bool wan);
  // Copies of each video packet for the secondary paths; the multipath code fills it in.
  void fanOutVideo(const std::vector<std::shared_ptr<HostSink>>& sinks, const SharedVideoChunk* chunk,
                   const VideoParity* parity);
  // Answers one NACK from the retransmission store (the uplink loop calls it for each NACK it reads).
  void answerNack(const VideoNack& nack);

  // Display mode helpers (host_session_display_mode.cpp).
  std::optional<DisplayGateLease> takeDisplayGate(const std::string& who);
  std::pair<int64_t, int64_t> realDisplayPoints(uint32_t displayID, int64_t fallbackW, int64_t fallbackH) const;
  void scheduleLogicalRemode();
  void applyLatestScale();
  // Brings the display to the mode for the base size and scale; the caller holds the display gate.
  void ensureDisplayModeGated(int64_t bw, int64_t bh, double scale);
  // Keeps the live pixel size of the display (the asked size when the window system does not know it)
  // for the capture size; under the display gate, after each mode change.
  void noteDisplayPixels(uint32_t displayID, int64_t askedW, int64_t askedH);
  // A re-creation of the display failed: the session lets go of it and ends (the client reconnects).
  void endOnLostDisplay();
  // Rebuilds the encoder and the bitrate controller for a new coded size (a new generation); run only by
  // the reconfiguration task.
  void reconfigure(int64_t pw, int64_t ph);
  void rebindDisplayFresh();
  // Restarts capture, never for a session that has stopped it (torn down or closed, not parked).
  void restartCapture(const std::shared_ptr<CaptureEngine>& capture, std::optional<uint32_t> displayID);
  std::shared_ptr<EncoderEngine> makeStreamEncoder(int64_t pw, int64_t ph, int64_t fps, int64_t bitrate,
                                                   double keyframeSec);

  // Member order matters: what is declared later goes first, and the scheduler outlives every timer.
  const SessionDeps deps_;
  const SessionTunables tunables_;
  const std::shared_ptr<DisplayProviding> display_;
  const std::string hostName_;
  const bool useTapAudio_;
  const bool mirror_;
  const bool setAsMain_;
  const bool isolateDisplays_;
  tavlo::SnapshotSlot<SessionCallbacks> callbacks_;
  SessionComponents components_;
  mutable std::mutex mutex_;  // guards state_
  SessionState state_;
};

}  // namespace vela
