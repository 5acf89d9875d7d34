// Construction, accessors, the log and the clipboard wiring.
#include "hostcore/session/host_session.hpp"

#include <utility>

#include "e2e/encrypted_transport.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/keyframe_policy.hpp"
#include "hostcore/session/path_classification.hpp"
#include "hostcore/session/session_clamps.hpp"
#include "platform/runtime/product_identifier.hpp"

namespace vela {

namespace {

// The clipboard's item ids this host offers start at a random value in 1…2^62 − 1.
constexpr uint64_t clipCounterMax = (uint64_t{1} << 62) - 1;

std::string encodeQueueLabel() { return std::string(tavlo::reverseDnsPrefix) + ".encode"; }

SessionComponents makeComponents(const SessionDeps& deps) {
  SessionComponents c;
  c.retx = std::make_unique<RetransmitBuffer>(RetransmitBuffer::hostMaxBytes, RetransmitBuffer::hostMaxFrames);
  c.linkEstimator = std::make_unique<LinkStateEstimator>();
  c.fluidityGovernor = std::make_unique<FluidityGovernor>();
  c.clip = deps.clipTempFolder ? std::make_unique<ClipboardTransfer>(*deps.scheduler, *deps.clipTempFolder)
                               : std::make_unique<ClipboardTransfer>(*deps.scheduler);
  c.encodeQueue = std::make_unique<tavlo::SerialExecutor>(encodeQueueLabel());
  c.pacerQ = std::make_unique<tavlo::SerialExecutor>(SessionComponents::pacerQueueLabel);
  return c;
}

}  // namespace

std::shared_ptr<HostSession> HostSession::create(SessionConfig config, SessionDeps deps) {
  auto session = std::make_shared<HostSession>(Private{}, std::move(config), std::move(deps));
  session->wireClipboard();  // its closures hold the session weakly, so they need the shared pointer
  return session;
}

HostSession::HostSession(Private, SessionConfig config, SessionDeps deps)
    : deps_(std::move(deps)),
      tunables_(SessionTunables::read(*deps_.settings)),
      display_(std::move(config.display)),
      hostName_(std::move(config.hostName)),
      useTapAudio_(config.useTapAudio),
      mirror_(config.mirror),
      setAsMain_(config.setAsMain),
      isolateDisplays_(config.isolateDisplays),
      components_(makeComponents(deps_)) {
  SessionState& s = state_;  // nothing else sees the session yet
  std::string description = config.transport->remoteDescription();
  s.path.originalTransport = std::move(config.transport);
  s.path.relayedSession = isRelayedDescription(description);
  s.path.lanSession = classifyPath(description) == PathKind::lan;

  s.geometry.targetFps = clampedTargetFps(config.targetFps);
  s.geometry.scaleS = clampedScale(config.initialScale);
  s.geometry.force1xActive = config.force1x;
  s.geometry.encBudgetPxFps = tunables_.encBudgetPxFps;
  setKeyframePolicyFields(s.keyframes, config.keyframeAdaptive, config.keyframeFixedSec);

  s.media.clipCounter = 1 + deps_.random->below(clipCounterMax);
  callbacks_.update([&](SessionCallbacks& c) {
    c.scaleForDevice = std::move(config.scaleForDevice);
    c.onLog = std::move(config.onLog);
  });
}

void HostSession::wireClipboard() {
  std::weak_ptr<HostSession> weak = weak_from_this();
  ClipboardCallbacks c;
  c.onSendData = [weak](const ClipData& piece) {
    auto self = weak.lock();
    if (!self) return;
    // Clipboard pieces carry session id 0.
    self->transport()->control().send(encodePacket(piece, 0, 0));
  };
  c.onComplete = [weak](uint64_t clipId, const std::string& uti, const std::string& name, const ClipPayload& payload) {
    auto self = weak.lock();
    if (!self) return;
    if (auto cb = self->callbacks(); cb->onClipComplete) cb->onClipComplete(clipId, uti, name, payload);
  };
  c.onFailed = [weak](uint64_t clipId) {
    auto self = weak.lock();
    if (!self) return;
    if (auto cb = self->callbacks(); cb->onClipFailed) cb->onClipFailed(clipId);
  };
  c.onProgress = [weak](uint64_t, ClipDir dir, uint32_t done, uint32_t total) {
    auto self = weak.lock();
    if (!self) return;
    if (auto cb = self->callbacks(); cb->onClipProgress) cb->onClipProgress(dir, done, total);
  };
  c.sendCredit = [weak]() -> int64_t {
    auto self = weak.lock();
    return self ? self->transport()->control().outstandingBytes() : 0;
  };
  c.onLog = [weak](const std::string& line) {
    if (auto self = weak.lock()) self->log(line);
  };
  components_.clip->setCallbacks(std::move(c));
}

void HostSession::log(const std::string& line) const {
  if (auto cb = callbacks(); cb->onLog) cb->onLog(line);
}

std::shared_ptr<SessionTransport> HostSession::transport() const {
  Locked locked(*this);
  return locked->path.effectiveTransport();
}

std::string HostSession::peerDescription() const { return transport()->remoteDescription(); }

bool HostSession::isTransportEncrypted() const {
  auto current = transport();
  auto* encrypted = dynamic_cast<EncryptedTransport*>(current.get());
  return encrypted && encrypted->isEncrypted();
}

bool HostSession::helloSeen() const {
  Locked locked(*this);
  return locked->identity.helloSeen;
}

bool HostSession::clientSupportsUnlock() const {
  Locked locked(*this);
  return locked->identity.clientUnlockCapable;
}

std::optional<std::string> HostSession::deviceKey() const {
  Locked locked(*this);
  return locked->identity.linkDeviceKey;
}

void HostSession::setMbbCapable(bool capable) {
  Locked locked(*this);
  locked->identity.mbbCapable = capable;
}

std::optional<WarmEngineBundle> HostSession::pendingWarmBundle() const {
  Locked locked(*this);
  return locked->warm.pendingWarmBundle;
}

// setPendingWarmBundle is with the rest of the warm reserve (host_session_lifecycle.cpp).

int64_t HostSession::pendingHelloW() const {
  Locked locked(*this);
  return locked->warm.pendingHelloW;
}

int64_t HostSession::pendingHelloH() const {
  Locked locked(*this);
  return locked->warm.pendingHelloH;
}

bool HostSession::parkedWarm() const {
  Locked locked(*this);
  return locked->warm.parkedWarm;
}

uint32_t HostSession::sessionId() const {
  Locked locked(*this);
  return locked->identity.sessionId;
}

void HostSession::setStreamBufferMs(int64_t ms) {
  Locked locked(*this);
  locked->media.streamBufferMs = ms;
}

}  // namespace vela
