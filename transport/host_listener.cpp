#include "transport/host_listener.hpp"

#include <algorithm>
#include <utility>

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
  auto mux = std::make_shared<MultiplexedTCP>(connection);
  std::shared_ptr<MultiplexedTCP> staleMux;
  std::vector<tavlo::Scheduler::JobId> staleChecks;
  std::vector<std::shared_ptr<UDPFlow>> staleFlows;
  {
    std::lock_guard guard(mutex_);
    epochId_ += 1;
    staleMux = std::exchange(pendingMux_, mux);
    if (pendingMuxCheck_) staleChecks.push_back(*std::exchange(pendingMuxCheck_, std::nullopt));
    pendingMuxEpoch_ = epochId_;
    for (auto& piece : pending_) {
      if (piece.flow) staleFlows.push_back(std::move(piece.flow));
      if (piece.lateCheck) staleChecks.push_back(*piece.lateCheck);
      piece = {};
    }
    pendingRemote_ = connection->remoteDescription();
  }
  // A new connection opens a new epoch: whatever the previous one left waiting is cancelled, with its
  // checks, so a peer opening connection after connection leaves one check behind, not one per connection.
  for (auto id : staleChecks) cancelCheck(id);
  if (staleMux) staleMux->close();
  for (auto& flow : staleFlows) flow->close();
  std::weak_ptr<MultiplexedTCP> weakMux = mux;
  auto check = scheduleCheck(pendingConnectionTimeoutUs, [weakMux](HostListener& self) {
    if (auto waiting = weakMux.lock()) self.expirePending(waiting);
  });
  {
    std::lock_guard guard(mutex_);
    if (pendingMux_ == mux) pendingMuxCheck_ = check;
  }
  tryAssemble();
}

void HostListener::expirePending(const std::shared_ptr<MultiplexedTCP>& mux) {
  std::vector<std::shared_ptr<UDPFlow>> flows;
  std::string remote;
  {
    std::lock_guard guard(mutex_);
    if (pendingMux_ != mux) return;  // assembled, or cancelled by a newer connection
    pendingMux_ = nullptr;
    pendingMuxCheck_.reset();  // this one, running now
    for (auto& piece : pending_) {
      if (piece.flow && piece.epoch == pendingMuxEpoch_) flows.push_back(std::move(piece.flow));
      if (!piece.flow) piece = {};
    }
    pendingMuxEpoch_ = -1;
    remote = pendingRemote_;
  }
  mux->close();
  for (auto& flow : flows) flow->close();
  log("listener: połączenie od " + remote + " nie dostało swoich przepływów UDP w " +
      std::to_string(pendingConnectionTimeoutUs / 1'000'000) + " s — zamykam");
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
  // event is handled after the flow's: take it first, or it would cancel the flow of its own client.
  std::shared_ptr<tavlo::TcpListenSocket> tcp;
  {
    std::lock_guard guard(mutex_);
    tcp = tcpListener_;
  }
  if (tcp) tcp->acceptWaiting();
  std::string remote = link->remoteDescription();
  auto flow = std::make_shared<UDPFlow>(std::move(link), slotName(slot), unprovenFlowHoldLimit);
  flow->start([](bool) {});  // its datagrams wait in the flow until the transport takes them
  std::shared_ptr<UDPFlow> replaced;
  std::optional<tavlo::Scheduler::JobId> replacedCheck;
  bool muxWaiting;
  size_t live;
  {
    std::lock_guard guard(mutex_);
    Pending& piece = pending_[static_cast<size_t>(slot)];
    replaced = std::exchange(piece.flow, flow);
    replacedCheck = std::exchange(piece.lateCheck, std::nullopt);
    piece.epoch = epochId_;
    forgetClosedLocked();
    muxWaiting = pendingMux_ != nullptr;
    live = liveTransports_.size();
  }
  // A replaced flow goes at once, with what it holds: neither its check nor anything else keeps it,
  // so a peer sending from ever new ports leaves one waiting flow per slot behind, not one per port.
  if (replacedCheck) cancelCheck(*replacedCheck);
  if (replaced) replaced->close();
  replaced.reset();
  tryAssemble();
  if (muxWaiting || live == 0) return;  // with no live session the flow waits for the next connection
  std::weak_ptr<UDPFlow> weakFlow = flow;
  auto check = scheduleCheck(lateChildDelayUs, [weakFlow, slot, remote](HostListener& self) {
    if (auto waiting = weakFlow.lock()) self.lateChildCheck(waiting, slot, remote);
  });
  std::lock_guard guard(mutex_);
  Pending& piece = pending_[static_cast<size_t>(slot)];
  if (piece.flow == flow) piece.lateCheck = check;
}

void HostListener::waitIdle() { q_->sync([] {}); }

void HostListener::lateChildCheck(const std::shared_ptr<UDPFlow>& flow, Slot slot, const std::string& remote) {
  std::shared_ptr<DirectSessionTransport> target;
  std::optional<std::string> lineEnd;
  {
    std::lock_guard guard(mutex_);
    forgetClosedLocked();
    if (pendingMux_) return;  // a connection came meanwhile and has cancelled this flow
    std::string ip = ipPart(remote);
    for (auto it = liveTransports_.rbegin(); it != liveTransports_.rend() && !target; ++it)
      if (ipPart((*it)->remoteDescription()) == ip) target = *it;
    if (!target && !liveTransports_.empty()) target = liveTransports_.back();
    if (!target) return;
    Pending& piece = pending_[static_cast<size_t>(slot)];
    if (piece.flow != flow) return;  // assembled, or replaced by a newer flow of the slot
    piece = {};
    lineEnd = lateFlowLog_.admit(scheduler_.clock().nowUs());
  }
  if (lineEnd) {
    log(std::string("🔁 listener: spóźnione dziecko ") + slotName(slot) + " od " + remote +
        " → kandydat adopcji w żywej sesji" + *lineEnd);
  }
  target->adopt(slot, flow, remote);
}

void HostListener::tryAssemble() {
  std::shared_ptr<DirectSessionTransport> transport;
  std::shared_ptr<MultiplexedTCP> assembled;
  std::optional<tavlo::Scheduler::JobId> connectionCheck;
  {
    std::lock_guard guard(mutex_);
    if (!pendingMux_) return;
    for (const Pending& piece : pending_)
      if (!piece.flow || piece.epoch != pendingMuxEpoch_) return;
    assembled = std::exchange(pendingMux_, nullptr);
    connectionCheck = std::exchange(pendingMuxCheck_, std::nullopt);
    pendingMuxEpoch_ = -1;
    std::array<std::shared_ptr<UDPFlow>, 3> flows;
    for (size_t i = 0; i < pending_.size(); ++i) flows[i] = std::exchange(pending_[i], {}).flow;

    const tavlo::Clock& clock = scheduler_.clock();
    auto inputBox = RebindableUDPFlow::create(flows[static_cast<size_t>(Slot::inputUnreliable)], "input", clock);
    auto videoBox = RebindableUDPFlow::create(flows[static_cast<size_t>(Slot::video)], "video", clock);
    auto audioBox = RebindableUDPFlow::create(flows[static_cast<size_t>(Slot::audio)], "audio", clock);
    for (auto* box : {&inputBox, &videoBox, &audioBox}) (*box)->setOnLog(onLog_);
    DirectSessionTransport::Parts parts;
    parts.mux = assembled;
    parts.video = videoBox;
    parts.audio = audioBox;
    parts.videoBox = videoBox;
    parts.audioBox = audioBox;
    parts.inputBox = inputBox;
    parts.remoteDescription = pendingRemote_;
    transport = std::make_shared<DirectSessionTransport>(std::move(parts));

    forgetClosedLocked();
    liveTransports_.push_back(transport);
    while (liveTransports_.size() > maxLiveTransports) liveTransports_.erase(liveTransports_.begin());
  }
  if (connectionCheck) cancelCheck(*connectionCheck);
  assembled->start([](bool) {});
  sessions_.send(transport);
}

void HostListener::forgetClosedLocked() {
  std::erase_if(liveTransports_, [](const auto& transport) { return transport->isClosed(); });
}

HostListener::Snapshot HostListener::snapshot() const {
  std::lock_guard guard(mutex_);
  Snapshot snapshot;
  snapshot.epochId = epochId_;
  snapshot.pendingMuxEpoch = pendingMux_ ? pendingMuxEpoch_ : -1;
  for (size_t i = 0; i < pending_.size(); ++i) {
    const Pending& piece = pending_[i];
    snapshot.pendingFlowEpochs[i] = piece.flow ? piece.epoch : -1;
    snapshot.pendingFlowRemotes[i] = piece.flow ? piece.flow->remoteEndpointDescription() : "";
    snapshot.pendingFlowHeld[i] = piece.flow ? piece.flow->incoming().size() : 0;
  }
  snapshot.liveTransports = liveTransports_.size();
  snapshot.scheduledChecks = lateChecks_.size();
  return snapshot;
}

std::string HostListener::ipPart(const std::string& endpoint) {
  if (!endpoint.empty() && endpoint.front() == '[') {
    auto close = endpoint.find(']');
    if (close != std::string::npos) return endpoint.substr(1, close - 1);
  }
  if (std::count(endpoint.begin(), endpoint.end(), ':') == 1) return endpoint.substr(0, endpoint.find(':'));
  return endpoint;
}

}  // namespace vela
