#include "transport/host_listener.hpp"

#include <algorithm>
#include <utility>

#include "platform/runtime/descriptor_limit.hpp"
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
    if (!unprovedRoom_) {
      waitingRoom_ = waitingRoomSetting_ ? waitingRoomSetting_ : waitingRoomFor(tavlo::currentDescriptorLimit().soft);
      // Shared by blocks alone: one address may fill what nobody else wants.
      unprovedRoom_ = std::make_unique<tavlo::CappedWaitingList<PendingConnection>>(waitingRoom_, waitingRoom_);
    }
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

size_t HostListener::waitingRoomFor(uint64_t descriptorLimit) {
  constexpr uint64_t fewest = 64;
  constexpr uint64_t most = 16'384;
  return static_cast<size_t>(std::clamp<uint64_t>(descriptorLimit / 4, fewest, most));
}

void HostListener::setProofCheck(ProofCheck check) {
  std::lock_guard guard(mutex_);
  proofCheck_ = std::move(check);
}

void HostListener::setWaitingRoom(size_t connections) {
  std::lock_guard guard(mutex_);
  waitingRoomSetting_ = connections;
}

void HostListener::handleConnection(std::shared_ptr<tavlo::TcpConnection> connection) {
  auto pending = std::make_shared<PendingConnection>();
  pending->connection = connection;
  pending->remote = connection->remoteDescription();
  pending->ip = ipPart(pending->remote);
  pending->blocks = peerAddressBlocks(pending->remote);
  bool checked;
  std::vector<std::shared_ptr<PendingConnection>> displaced;
  {
    std::lock_guard guard(mutex_);
    connectionsTaken_ += 1;
    pending->arrival = ++arrivals_;
    pending->arrivalUs = scheduler_.clock().nowUs();
    checked = static_cast<bool>(proofCheck_) && unprovedRoom_;
    if (checked) {
      // Over the room, the oldest of the fullest block goes: a flood pushes out its own connections.
      displaced = unprovedRoom_->add(pending->blocks, pending);
      for (const auto& old : displaced) removePendingLocked(old);
      unproved_.insert(pending);
      unprovedArrivalsByIp_[pending->ip].insert(pending->arrival);
    }
  }
  for (const auto& old : displaced) discard(old);
  if (!checked) {
    pending->mux = std::make_shared<MultiplexedTCP>(connection);
    std::weak_ptr<PendingConnection> weakPending = pending;
    auto check = scheduleCheck(pendingConnectionTimeoutUs, [weakPending](HostListener& self) {
      if (auto waiting = weakPending.lock()) self.expirePending(waiting);
    });
    {
      std::lock_guard guard(mutex_);
      pending->expiry = check;
    }
    return prove(pending);
  }
  pending->readFirst = true;
  bool arm;
  {
    std::lock_guard guard(mutex_);
    // Those a flood pushed out are mostly the oldest: they leave the front at once.
    while (!silentOrder_.empty()) {
      auto front = silentOrder_.front().lock();
      if (front && unproved_.contains(front)) break;
      silentOrder_.pop_front();
    }
    silentOrder_.push_back(pending);
    arm = !std::exchange(silenceSweepArmed_, true);
  }
  if (arm) armSilenceSweep(pending->arrivalUs + pendingConnectionTimeoutUs);
  // Its bytes are read only up to its first packet: enough to know whether it is a client of this host.
  // Nothing more is made for it until then (a flood brings thousands of such connections a second).
  readFirstPacket(pending);
}

void HostListener::readFirstPacket(const std::shared_ptr<PendingConnection>& pending) {
  std::weak_ptr<HostListener> weak = weak_from_this();
  std::weak_ptr<PendingConnection> weakPending = pending;
  pending->connection->receive([weak, weakPending](ByteView data, bool peerClosed, const std::string& error) {
    auto self = weak.lock();
    auto waiting = weakPending.lock();
    if (self && waiting) self->firstPacketRead(waiting, data, peerClosed || !error.empty());
  });
}

void HostListener::firstPacketRead(const std::shared_ptr<PendingConnection>& pending, ByteView data, bool ended) {
  {
    std::lock_guard guard(mutex_);
    if (!unproved_.contains(pending)) return;  // displaced or expired meanwhile
  }
  Bytes& read = pending->firstBytes;
  read.insert(read.end(), data.begin(), data.end());
  // The first packet is the first frame the framing delivers: shorter frames before it are consumed.
  enum class Found { more, packet, refused } found = Found::more;
  size_t at = 0;
  uint32_t length = 0;
  while (read.size() - at >= MuxFrameReader::headerBytes) {
    length = 0;
    for (size_t i = 0; i < MuxFrameReader::headerBytes; ++i) length |= uint32_t(read[at + i]) << (8 * i);
    if (length > maxFirstFrameBytes) {
      found = Found::refused;  // more than any first packet of a client
      break;
    }
    if (read.size() - at - MuxFrameReader::headerBytes < length) break;
    if (length >= MuxFrameReader::smallestDeliveredPayload) {
      found = Found::packet;
      break;
    }
    at += MuxFrameReader::headerBytes + length;
  }
  // What a peer may send before its first packet is bounded too: a stream of empty frames proves nothing.
  if (found == Found::more && read.size() > 2 * size_t(maxFirstFrameBytes)) found = Found::refused;
  if (found != Found::packet) {
    // A peer that went, or that sent what no client sends first: nothing to wait for.
    if (found == Found::more && !ended) return readFirstPacket(pending);
    {
      std::lock_guard guard(mutex_);
      if (!removePendingLocked(pending)) return;
    }
    return discard(pending);
  }
  ProofCheck check;
  {
    std::lock_guard guard(mutex_);
    check = proofCheck_;
  }
  FirstPacketVerdict verdict = check(ByteView(read.data() + at + MuxFrameReader::headerBytes, length));
  if (verdict.proved) {
    pending->mux = std::make_shared<MultiplexedTCP>(pending->connection);
    pending->connection->start([](tavlo::TcpConnection::State, const std::string&) {});
    return prove(pending);
  }
  std::optional<std::string> lineEnd;
  {
    std::lock_guard guard(mutex_);
    if (!removePendingLocked(pending)) return;
    if (verdict.refusalLine) lineEnd = refusedConnectionLog_.admit(scheduler_.clock().nowUs());
  }
  discard(pending);
  if (lineEnd) log(*verdict.refusalLine + *lineEnd);
}

void HostListener::prove(const std::shared_ptr<PendingConnection>& pending) {
  std::vector<std::shared_ptr<PendingConnection>> displaced;
  std::vector<std::shared_ptr<WaitingFlow>> earlier;
  std::vector<tavlo::Scheduler::JobId> taken;
  {
    std::lock_guard guard(mutex_);
    if (pending->readFirst && !removePendingLocked(pending)) return;  // displaced or expired meanwhile
    pending->proved = true;
    // Over a cap, the oldest proved connection of this address (or of the fullest block) goes, with its
    // flows and check; a connection that has not proved itself never pushes out one that has.
    displaced = provedCaps_.add(pending->blocks, pending);
    for (const auto& old : displaced) std::erase(proved_, old);
    proved_.push_back(pending);
    for (Slot slot : slots) {
      auto it = waitingFlows_.find(FlowKey{pending->ip, slot});
      if (it == waitingFlows_.end()) continue;
      std::shared_ptr<WaitingFlow> waiting = it->second;
      removeWaitingFlowLocked(waiting);
      if (waiting->lateCheck) taken.push_back(*std::exchange(waiting->lateCheck, std::nullopt));
      // Flows of its address that came before it are its client's earlier ones: a client opens its
      // flows only once its connection is up.
      if (waiting->arrival > pending->arrival) {
        pending->flows[static_cast<size_t>(slot)] = waiting->flow;
      } else {
        earlier.push_back(waiting);
      }
    }
  }
  for (const auto& old : displaced) discard(old);
  for (auto id : taken) cancelCheck(id);
  for (const auto& waiting : earlier) waiting->flow->close();
  if (pending->readFirst) {
    // Proved, it waits for its flows on a timer of its own, for what is left of its time.
    const uint64_t waitedUs = scheduler_.clock().nowUs() - pending->arrivalUs;
    std::weak_ptr<PendingConnection> weakPending = pending;
    auto check = scheduleCheck(pendingConnectionTimeoutUs - std::min(waitedUs, pendingConnectionTimeoutUs),
                               [weakPending](HostListener& self) {
                                 if (auto waiting = weakPending.lock()) self.expirePending(waiting);
                               });
    bool stillWaiting;
    {
      std::lock_guard guard(mutex_);
      stillWaiting = std::find(proved_.begin(), proved_.end(), pending) != proved_.end();
      if (stillWaiting) pending->expiry = check;
    }
    if (!stillWaiting) cancelCheck(check);
  }
  tryAssemble(pending);
}

void HostListener::armSilenceSweep(uint64_t dueUs) {
  const uint64_t now = scheduler_.clock().nowUs();
  scheduleCheck(dueUs > now ? dueUs - now : 0, [](HostListener& self) { self.sweepSilent(); });
}

void HostListener::sweepSilent() {
  const uint64_t now = scheduler_.clock().nowUs();
  std::vector<std::shared_ptr<PendingConnection>> expired;
  std::optional<uint64_t> nextDueUs;
  {
    std::lock_guard guard(mutex_);
    while (!silentOrder_.empty()) {
      auto pending = silentOrder_.front().lock();
      if (pending && unproved_.contains(pending)) {
        if (pending->arrivalUs + pendingConnectionTimeoutUs > now) {
          nextDueUs = pending->arrivalUs + pendingConnectionTimeoutUs;
          break;
        }
        expired.push_back(std::move(pending));
      }
      silentOrder_.pop_front();
    }
    silenceSweepArmed_ = nextDueUs.has_value();
  }
  for (const auto& pending : expired) expirePending(pending);
  if (nextDueUs) armSilenceSweep(*nextDueUs);
}

bool HostListener::removePendingLocked(const std::shared_ptr<PendingConnection>& connection) {
  // A copy: the caller's reference may be the very entry erased below.
  const std::shared_ptr<PendingConnection> pending = connection;
  if (unproved_.erase(pending)) {
    if (unprovedRoom_) unprovedRoom_->forget(pending);
    auto it = unprovedArrivalsByIp_.find(pending->ip);
    if (it != unprovedArrivalsByIp_.end()) {
      it->second.erase(pending->arrival);
      if (it->second.empty()) unprovedArrivalsByIp_.erase(it);
    }
    return true;
  }
  auto it = std::find(proved_.begin(), proved_.end(), pending);
  if (it == proved_.end()) return false;
  proved_.erase(it);
  provedCaps_.forget(pending);
  return true;
}

void HostListener::removeWaitingFlowLocked(const std::shared_ptr<WaitingFlow>& flow) {
  // A copy: the caller's reference may be the very entry erased below.
  const std::shared_ptr<WaitingFlow> waiting = flow;
  auto it = waitingFlows_.find(FlowKey{waiting->ip, waiting->slot});
  if (it != waitingFlows_.end() && it->second == waiting) waitingFlows_.erase(it);
  waitingFlowRoom_.forget(waiting);
}

bool HostListener::earlierUnprovedLocked(const std::string& ip, uint64_t arrival) const {
  auto it = unprovedArrivalsByIp_.find(ip);
  return it != unprovedArrivalsByIp_.end() && !it->second.empty() && *it->second.begin() < arrival;
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
  if (pending->mux) {
    pending->mux->close();
  } else {
    pending->connection->cancelNow();  // its descriptor is free for the next connection at once
  }
  for (auto& flow : flows)
    if (flow) flow->close();
}

void HostListener::discard(const std::shared_ptr<WaitingFlow>& waiting) {
  std::optional<tavlo::Scheduler::JobId> check;
  {
    std::lock_guard guard(mutex_);
    check = std::exchange(waiting->lateCheck, std::nullopt);
  }
  if (check) cancelCheck(*check);
  waiting->flow->close();
}

void HostListener::expirePending(const std::shared_ptr<PendingConnection>& pending) {
  std::optional<std::string> lineEnd;
  bool proved;
  {
    std::lock_guard guard(mutex_);
    proved = pending->proved;
    if (!removePendingLocked(pending)) return;  // assembled, or displaced by a newer connection
    pending->expiry.reset();  // this one, running now
    lineEnd = expiredConnectionLog_.admit(scheduler_.clock().nowUs());
  }
  discard(pending);
  if (lineEnd) {
    const std::string seconds = std::to_string(pendingConnectionTimeoutUs / 1'000'000);
    log(proved ? "listener: połączenie od " + pending->remote + " nie dostało swoich przepływów UDP w " + seconds +
                     " s — zamykam" + *lineEnd
               : "listener: połączenie od " + pending->remote + " nie przedstawiło się w " + seconds + " s — zamykam" +
                     *lineEnd);
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
  std::shared_ptr<UDPFlow> replacedFlow;
  std::shared_ptr<WaitingFlow> waiting;
  std::vector<std::shared_ptr<WaitingFlow>> displaced;
  std::shared_ptr<PendingConnection> joined;
  {
    std::lock_guard guard(mutex_);
    flowsTaken_ += 1;
    const uint64_t arrival = ++arrivals_;
    // The newest proved connection of this address that still lacks the slot; else the newest proved
    // one of the address, whose flow of the slot this one replaces.
    for (auto it = proved_.rbegin(); it != proved_.rend(); ++it) {
      if ((*it)->ip != ip) continue;
      if (!joined) joined = *it;
      if (!(*it)->flows[index]) {
        joined = *it;
        break;
      }
    }
    if (joined) {
      replacedFlow = std::exchange(joined->flows[index], flow);
    } else {
      // It waits as its address's flow of the slot, replacing only that address's earlier one.
      auto it = waitingFlows_.find(FlowKey{ip, slot});
      if (it != waitingFlows_.end()) {
        displaced.push_back(it->second);
        removeWaitingFlowLocked(it->second);
      }
      waiting = std::make_shared<WaitingFlow>();
      waiting->flow = flow;
      waiting->slot = slot;
      waiting->remote = remote;
      waiting->ip = ip;
      waiting->arrival = arrival;
      waiting->sinceUs = scheduler_.clock().nowUs();
      for (const auto& old : waitingFlowRoom_.add(peerAddressBlocks(remote), waiting)) {
        removeWaitingFlowLocked(old);
        displaced.push_back(old);
      }
      waitingFlows_[FlowKey{ip, slot}] = waiting;
    }
    forgetClosedLocked();
  }
  // A replaced flow goes at once, with what it holds: neither its check nor anything else keeps it,
  // so a peer sending from ever new ports leaves one waiting flow per slot behind, not one per port.
  for (const auto& old : displaced) discard(old);
  displaced.clear();
  if (replacedFlow) replacedFlow->close();
  replacedFlow.reset();
  if (joined) return tryAssemble(joined);
  scheduleLateCheck(waiting);
}

void HostListener::scheduleLateCheck(const std::shared_ptr<WaitingFlow>& waiting) {
  std::weak_ptr<WaitingFlow> weakWaiting = waiting;
  auto check = scheduleCheck(lateChildDelayUs, [weakWaiting](HostListener& self) {
    if (auto held = weakWaiting.lock()) self.lateChildCheck(held);
  });
  bool stillWaiting;
  {
    std::lock_guard guard(mutex_);
    auto it = waitingFlows_.find(FlowKey{waiting->ip, waiting->slot});
    stillWaiting = it != waitingFlows_.end() && it->second == waiting;
    if (stillWaiting) waiting->lateCheck = check;
  }
  if (!stillWaiting) cancelCheck(check);
}

void HostListener::waitIdle() { q_->sync([] {}); }

void HostListener::lateChildCheck(const std::shared_ptr<WaitingFlow>& waiting) {
  enum class Next { wait, adopt, drop } next;
  std::shared_ptr<DirectSessionTransport> target;
  std::optional<std::string> lineEnd;
  {
    std::lock_guard guard(mutex_);
    forgetClosedLocked();
    auto it = waitingFlows_.find(FlowKey{waiting->ip, waiting->slot});
    // A proved connection of its address took it, or a newer flow of its address and slot replaced it.
    if (it == waitingFlows_.end() || it->second != waiting) return;
    waiting->lateCheck.reset();  // this one, running now
    const bool expired = scheduler_.clock().nowUs() - waiting->sinceUs >= pendingConnectionTimeoutUs;
    for (auto live = liveTransports_.rbegin(); live != liveTransports_.rend() && !target; ++live)
      if (ipPart((*live)->remoteDescription()) == waiting->ip) target = *live;
    if (!target && !liveTransports_.empty()) target = liveTransports_.back();
    if (expired) {
      next = Next::drop;
    } else if (earlierUnprovedLocked(waiting->ip, waiting->arrival) || !target) {
      // Its own connection may still prove itself (a client 100 ms away speaks after its flows), or
      // there is no session to offer it to yet.
      next = Next::wait;
    } else {
      next = Next::adopt;
    }
    if (next != Next::wait) removeWaitingFlowLocked(waiting);
    if (next == Next::adopt) lineEnd = lateFlowLog_.admit(scheduler_.clock().nowUs());
  }
  if (next == Next::wait) return scheduleLateCheck(waiting);
  if (next == Next::drop) return waiting->flow->close();
  if (lineEnd) {
    log(std::string("🔁 listener: spóźnione dziecko ") + slotName(waiting->slot) + " od " + waiting->remote +
        " → kandydat adopcji w żywej sesji" + *lineEnd);
  }
  target->adopt(waiting->slot, waiting->flow, waiting->remote);
}

void HostListener::tryAssemble(const std::shared_ptr<PendingConnection>& pending) {
  std::shared_ptr<DirectSessionTransport> transport;
  std::optional<tavlo::Scheduler::JobId> connectionCheck;
  {
    std::lock_guard guard(mutex_);
    if (std::find(proved_.begin(), proved_.end(), pending) == proved_.end()) return;
    for (const auto& flow : pending->flows)
      if (!flow) return;
    removePendingLocked(pending);
    connectionCheck = std::exchange(pending->expiry, std::nullopt);
    std::array<std::shared_ptr<UDPFlow>, 3> flows = std::exchange(pending->flows, {});

    const tavlo::Clock& clock = scheduler_.clock();
    auto box = [&](Slot slot, const char* label) {
      const auto& flow = flows[static_cast<size_t>(slot)];
      return RebindableUDPFlow::create(flow, label, clock, flow->remoteEndpointDescription());
    };
    auto inputBox = box(Slot::inputUnreliable, "input");
    auto videoBox = box(Slot::video, "video");
    auto audioBox = box(Slot::audio, "audio");
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
  if (pending->readFirst) {
    pending->mux->startAlreadyReady(pending->firstBytes);  // the first packet is the stream's first frame
    pending->firstBytes = {};
  } else {
    pending->mux->start([](bool) {});
  }
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
  snapshot.pendingConnections = unproved_.size() + proved_.size();
  snapshot.unprovedConnections = unproved_.size();
  snapshot.waitingRoom = waitingRoom_;
  snapshot.waitingFlows = waitingFlows_.size();
  for (const auto& pending : proved_)
    for (size_t i = 0; i < pending->flows.size(); ++i) snapshot.pairedFlows[i] += pending->flows[i] ? 1 : 0;
  std::array<uint64_t, 3> newest{};
  for (const auto& [key, waiting] : waitingFlows_) {
    const size_t i = static_cast<size_t>(waiting->slot);
    if (waiting->arrival < newest[i]) continue;
    newest[i] = waiting->arrival;
    snapshot.unpairedFlowRemotes[i] = waiting->flow->remoteEndpointDescription();
    snapshot.unpairedFlowHeld[i] = waiting->flow->incoming().size();
  }
  snapshot.liveTransports = liveTransports_.size();
  snapshot.scheduledChecks = lateChecks_.size();
  return snapshot;
}

}  // namespace vela
