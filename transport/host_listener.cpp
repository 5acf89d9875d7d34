#include "transport/host_listener.hpp"

#include <algorithm>
#include <utility>

#include "transport/peer_address_key.hpp"
#include "transport/transport_error.hpp"

namespace vela {

using tavlo::ServiceClass;

namespace {
constexpr std::array<Slot, 3> slots{Slot::video, Slot::audio, Slot::inputUnreliable};
constexpr uint16_t highestBasePort = 65535 - 3;  // the block's last port must exist
}  // namespace

std::shared_ptr<HostListener> HostListener::create(tavlo::Scheduler* scheduler) {
  return std::shared_ptr<HostListener>(new HostListener(scheduler));
}

HostListener::HostListener(tavlo::Scheduler* scheduler)
    : ownScheduler_(scheduler ? nullptr : std::make_unique<tavlo::ThreadScheduler>()),
      scheduler_(scheduler ? *scheduler : *ownScheduler_),
      q_(tavlo::NetThread::start("vela.transport.host")) {}

HostListener::~HostListener() {
  std::set<tavlo::Scheduler::JobId> checks;
  {
    std::lock_guard guard(mutex_);
    checks.swap(lateChecks_);
  }
  for (auto id : checks) scheduler_.cancel(id);
  stop();
}

void HostListener::setOnLog(tavlo::LogSink onLog) {
  std::lock_guard guard(mutex_);
  onLog_ = std::move(onLog);
}

void HostListener::log(const std::string& line) const {
  tavlo::LogSink sink;
  {
    std::lock_guard guard(mutex_);
    sink = onLog_;
  }
  if (sink) sink(line);
}

void HostListener::start(uint16_t port) {
  if (port == 0 || port > highestBasePort) throw TransportError::badEndpoint();
  // Opened first and kept only if all four succeed: a failed start closes what it opened.
  std::shared_ptr<tavlo::TcpListenSocket> tcp = tavlo::TcpListenSocket::open(q_, port, ServiceClass::interactiveVoice);
  std::vector<std::unique_ptr<tavlo::UdpListenSocket>> udp;
  for (Slot slot : slots) {
    auto serviceClass = slot == Slot::video ? ServiceClass::interactiveVideo : ServiceClass::interactiveVoice;
    udp.push_back(tavlo::UdpListenSocket::open(q_, static_cast<uint16_t>(port + 1 + static_cast<int>(slot)), serviceClass));
  }
  std::weak_ptr<HostListener> weak = weak_from_this();
  tcp->start(
      [weak](std::shared_ptr<tavlo::TcpConnection> connection) {
        if (auto self = weak.lock()) self->handleConnection(std::move(connection));
      },
      [weak](const std::string& error, bool pausing) {
        auto self = weak.lock();
        if (!self) return;
        // Out of descriptors accepting pauses; a hand-over that failed lost only its own connection.
        const std::string next = pausing ? "przerwa " + std::to_string(tavlo::TcpListenSocket::acceptBackoffUs / 1000) +
                                               " ms i próbuję dalej"
                                         : "to połączenie zamknięte, przyjmuję dalej";
        self->log("⚠️ listener: nie mogę przyjąć połączenia (" + error + ") — " + next);
      });
  for (Slot slot : slots) {
    udp[static_cast<size_t>(slot)]->start([weak, slot](std::shared_ptr<tavlo::UdpLink> link) {
      if (auto self = weak.lock()) self->handlePeer(slot, std::move(link));
    });
  }
  {
    std::lock_guard guard(mutex_);
    std::swap(tcpListener_, tcp);
    std::swap(udpListeners_, udp);
  }
  // A second start replaces the first one's sockets; they close here, outside the lock.
}

void HostListener::stop() {
  std::shared_ptr<tavlo::TcpListenSocket> tcp;
  std::vector<std::unique_ptr<tavlo::UdpListenSocket>> udp;
  {
    std::lock_guard guard(mutex_);
    tcp = std::move(tcpListener_);
    udp = std::move(udpListeners_);
  }
  if (tcp) tcp->stop();
  for (auto& listener : udp) listener->stop();
  sessions_.close();
}

void HostListener::handleConnection(std::shared_ptr<tavlo::TcpConnection> connection) {
  // Not read until its flows have come and a transport owns it: until then its bytes wait in the
  // kernel, whose buffers stop a peer that sends without ever binding a flow.
  auto pending = std::make_shared<PendingConnection>();
  pending->mux = std::make_shared<MultiplexedTCP>(connection);
  pending->remote = connection->remoteDescription();
  pending->ip = ipPart(pending->remote);
  std::vector<std::shared_ptr<PendingConnection>> displaced;
  std::vector<UnpairedFlow> early;
  {
    std::lock_guard guard(mutex_);
    connectionsTaken_ += 1;
    displaced = pendingCaps_.add(peerAddressKey(pending->remote), pending);
    for (const auto& old : displaced) std::erase(pendingConnections_, old);
    pendingConnections_.push_back(pending);
    // Flows of this address that came before it are its client's earlier ones: they are cancelled
    // (a client opens its flows only once its connection is up). Other addresses' stay as they are.
    for (UnpairedFlow& flow : unpaired_)
      if (flow.flow && flow.ip == pending->ip) early.push_back(std::exchange(flow, {}));
  }
  // Over a cap, the oldest connection of this address (or of the address holding the most) goes, with
  // its flows and check, so a peer opening connection after connection leaves a few checks, not one each.
  for (const auto& old : displaced) discard(old);
  for (UnpairedFlow& flow : early) {
    if (flow.lateCheck) cancelCheck(*flow.lateCheck);
    flow.flow->close();
  }
  std::weak_ptr<PendingConnection> weakPending = pending;
  auto check = scheduleCheck(pendingConnectionTimeoutUs, [weakPending](HostListener& self) {
    if (auto waiting = weakPending.lock()) self.expirePending(waiting);
  });
  bool stillWaiting;
  {
    std::lock_guard guard(mutex_);
    stillWaiting = std::find(pendingConnections_.begin(), pendingConnections_.end(), pending) != pendingConnections_.end();
    if (stillWaiting) pending->expiry = check;
  }
  if (!stillWaiting) cancelCheck(check);
}

void HostListener::discard(const std::shared_ptr<PendingConnection>& pending) {
  std::optional<tavlo::Scheduler::JobId> expiry;
  std::array<std::shared_ptr<UDPFlow>, 3> flows;
  {
    std::lock_guard guard(mutex_);
    expiry = std::exchange(pending->expiry, std::nullopt);
    flows = std::exchange(pending->flows, {});
  }
  if (expiry) cancelCheck(*expiry);
  pending->mux->close();
  for (auto& flow : flows)
    if (flow) flow->close();
}

void HostListener::expirePending(const std::shared_ptr<PendingConnection>& pending) {
  std::optional<std::string> lineEnd;
  {
    std::lock_guard guard(mutex_);
    auto it = std::find(pendingConnections_.begin(), pendingConnections_.end(), pending);
    if (it == pendingConnections_.end()) return;  // assembled, or displaced by a newer connection
    pendingConnections_.erase(it);
    pendingCaps_.forget(pending);
    pending->expiry.reset();  // this one, running now
    lineEnd = expiredConnectionLog_.admit(scheduler_.clock().nowUs());
  }
  discard(pending);
  if (lineEnd) {
    log("listener: połączenie od " + pending->remote + " nie dostało swoich przepływów UDP w " +
        std::to_string(pendingConnectionTimeoutUs / 1'000'000) + " s — zamykam" + *lineEnd);
  }
}

tavlo::Scheduler::JobId HostListener::scheduleCheck(uint64_t delayUs, std::function<void(HostListener&)> check) {
  // The timer only hands the check to the listener's thread: it never holds the listener itself, so
  // the listener cannot end up destroyed on the timer's thread.
  std::weak_ptr<HostListener> weak = weak_from_this();
  auto id = std::make_shared<tavlo::Scheduler::JobId>(0);
  auto queue = q_;
  *id = scheduler_.after(delayUs, [weak, queue, id, check = std::move(check)] {
    queue->post([weak, id, check] {
      auto self = weak.lock();
      if (!self) return;
      {
        std::lock_guard guard(self->mutex_);
        self->lateChecks_.erase(*id);
      }
      check(*self);
    });
  });
  std::lock_guard guard(mutex_);
  lateChecks_.insert(*id);
  return *id;
}

void HostListener::cancelCheck(tavlo::Scheduler::JobId id) {
  {
    std::lock_guard guard(mutex_);
    lateChecks_.erase(id);
  }
  scheduler_.cancel(id);
}

void HostListener::handlePeer(Slot slot, std::shared_ptr<tavlo::UdpLink> link) {
  // A connection the kernel has already established came before this flow, even when its readiness
  // event is handled after the flow's: take it first, or the flow would find no connection of its own.
  std::shared_ptr<tavlo::TcpListenSocket> tcp;
  {
    std::lock_guard guard(mutex_);
    tcp = tcpListener_;
  }
  if (tcp) tcp->acceptWaiting();
  std::string remote = link->remoteDescription();
  const std::string ip = ipPart(remote);
  const size_t index = static_cast<size_t>(slot);
  auto flow = std::make_shared<UDPFlow>(std::move(link), slotName(slot), unprovenFlowHoldLimit);
  flow->start([](bool) {});  // its datagrams wait in the flow until the transport takes them
  std::shared_ptr<UDPFlow> replaced;
  std::optional<tavlo::Scheduler::JobId> replacedCheck;
  std::shared_ptr<PendingConnection> joined;
  size_t live;
  {
    std::lock_guard guard(mutex_);
    flowsTaken_ += 1;
    // The newest connection of this address that still lacks the slot; else the newest of the
    // address, whose flow of the slot this one replaces.
    for (auto it = pendingConnections_.rbegin(); it != pendingConnections_.rend(); ++it) {
      if ((*it)->ip != ip) continue;
      if (!joined) joined = *it;
      if (!(*it)->flows[index]) {
        joined = *it;
        break;
      }
    }
    if (joined) {
      replaced = std::exchange(joined->flows[index], flow);
    } else {
      UnpairedFlow& waiting = unpaired_[index];
      replaced = std::exchange(waiting.flow, flow);
      replacedCheck = std::exchange(waiting.lateCheck, std::nullopt);
      waiting.ip = ip;
    }
    forgetClosedLocked();
    live = liveTransports_.size();
  }
  // A replaced flow goes at once, with what it holds: neither its check nor anything else keeps it,
  // so a peer sending from ever new ports leaves one waiting flow per slot behind, not one per port.
  if (replacedCheck) cancelCheck(*replacedCheck);
  if (replaced) replaced->close();
  replaced.reset();
  if (joined) return tryAssemble(joined);
  if (live == 0) return;  // with no live session the flow waits for a connection of its address
  std::weak_ptr<UDPFlow> weakFlow = flow;
  auto check = scheduleCheck(lateChildDelayUs, [weakFlow, slot, remote](HostListener& self) {
    if (auto waiting = weakFlow.lock()) self.lateChildCheck(waiting, slot, remote);
  });
  bool stillWaiting;
  {
    std::lock_guard guard(mutex_);
    UnpairedFlow& waiting = unpaired_[index];
    stillWaiting = waiting.flow == flow;
    if (stillWaiting) waiting.lateCheck = check;
  }
  if (!stillWaiting) cancelCheck(check);
}

void HostListener::waitIdle() { q_->sync([] {}); }

void HostListener::lateChildCheck(const std::shared_ptr<UDPFlow>& flow, Slot slot, const std::string& remote) {
  std::shared_ptr<DirectSessionTransport> target;
  std::optional<std::string> lineEnd;
  {
    std::lock_guard guard(mutex_);
    forgetClosedLocked();
    UnpairedFlow& waiting = unpaired_[static_cast<size_t>(slot)];
    // A connection of its address came meanwhile and cancelled it, or a newer flow of the slot replaced it.
    if (waiting.flow != flow) return;
    std::string ip = ipPart(remote);
    for (auto it = liveTransports_.rbegin(); it != liveTransports_.rend() && !target; ++it)
      if (ipPart((*it)->remoteDescription()) == ip) target = *it;
    if (!target && !liveTransports_.empty()) target = liveTransports_.back();
    if (!target) return;
    waiting = {};
    lineEnd = lateFlowLog_.admit(scheduler_.clock().nowUs());
  }
  if (lineEnd) {
    log(std::string("🔁 listener: spóźnione dziecko ") + slotName(slot) + " od " + remote +
        " → kandydat adopcji w żywej sesji" + *lineEnd);
  }
  target->adopt(slot, flow, remote);
}

void HostListener::tryAssemble(const std::shared_ptr<PendingConnection>& pending) {
  std::shared_ptr<DirectSessionTransport> transport;
  std::optional<tavlo::Scheduler::JobId> connectionCheck;
  {
    std::lock_guard guard(mutex_);
    auto it = std::find(pendingConnections_.begin(), pendingConnections_.end(), pending);
    if (it == pendingConnections_.end()) return;
    for (const auto& flow : pending->flows)
      if (!flow) return;
    pendingConnections_.erase(it);
    pendingCaps_.forget(pending);
    connectionCheck = std::exchange(pending->expiry, std::nullopt);
    std::array<std::shared_ptr<UDPFlow>, 3> flows = std::exchange(pending->flows, {});

    const tavlo::Clock& clock = scheduler_.clock();
    auto inputBox = RebindableUDPFlow::create(flows[static_cast<size_t>(Slot::inputUnreliable)], "input", clock);
    auto videoBox = RebindableUDPFlow::create(flows[static_cast<size_t>(Slot::video)], "video", clock);
    auto audioBox = RebindableUDPFlow::create(flows[static_cast<size_t>(Slot::audio)], "audio", clock);
    for (auto* box : {&inputBox, &videoBox, &audioBox}) (*box)->setOnLog(onLog_);
    DirectSessionTransport::Parts parts;
    parts.mux = pending->mux;
    parts.video = videoBox;
    parts.audio = audioBox;
    parts.videoBox = videoBox;
    parts.audioBox = audioBox;
    parts.inputBox = inputBox;
    parts.remoteDescription = pending->remote;
    transport = std::make_shared<DirectSessionTransport>(std::move(parts));

    forgetClosedLocked();
    liveTransports_.push_back(transport);
    while (liveTransports_.size() > maxLiveTransports) liveTransports_.erase(liveTransports_.begin());
  }
  if (connectionCheck) cancelCheck(*connectionCheck);
  pending->mux->start([](bool) {});
  sessions_.send(transport);
}

void HostListener::forgetClosedLocked() {
  std::erase_if(liveTransports_, [](const auto& transport) { return transport->isClosed(); });
}

HostListener::Snapshot HostListener::snapshot() const {
  std::lock_guard guard(mutex_);
  Snapshot snapshot;
  snapshot.connectionsTaken = connectionsTaken_;
  snapshot.flowsTaken = flowsTaken_;
  snapshot.pendingConnections = pendingConnections_.size();
  for (const auto& pending : pendingConnections_)
    for (size_t i = 0; i < pending->flows.size(); ++i) snapshot.pairedFlows[i] += pending->flows[i] ? 1 : 0;
  for (size_t i = 0; i < unpaired_.size(); ++i) {
    const UnpairedFlow& waiting = unpaired_[i];
    snapshot.unpairedFlowRemotes[i] = waiting.flow ? waiting.flow->remoteEndpointDescription() : "";
    snapshot.unpairedFlowHeld[i] = waiting.flow ? waiting.flow->incoming().size() : 0;
  }
  snapshot.liveTransports = liveTransports_.size();
  snapshot.scheduledChecks = lateChecks_.size();
  return snapshot;
}

}  // namespace vela
