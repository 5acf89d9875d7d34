#include "host/controller/handshake_gate.hpp"

#include <atomic>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "e2e/e2e_envelope.hpp"
#include "e2e/e2e_host_handshake.hpp"
#include "transport/peer_address_key.hpp"

namespace tavlo {

struct HandshakeGate::Waiting {
  std::shared_ptr<vela::SessionTransport> transport;
  std::string remote;
  // Set by the stream observers when a drain is queued, cleared by the drain: a burst queues one job.
  // Shared with the observers, which hold nothing else of the connection: a producer thread never ends
  // up destroying it from inside one of its own streams.
  const std::shared_ptr<std::atomic<bool>> drainQueued = std::make_shared<std::atomic<bool>>(false);
  // The worker's own fields.
  bool refusalLogged = false;
  ScopedTimer timeout;
};

namespace {

// Every stream of a connection, the control stream first.
std::array<vela::PacketStream*, 5> streamsOf(vela::SessionTransport& transport) {
  return {&transport.control().incoming(), &transport.inputReliable().incoming(), &transport.video().incoming(),
          &transport.audio().incoming(), &transport.inputUnreliable().incoming()};
}

}  // namespace

std::shared_ptr<HandshakeGate> HandshakeGate::create(Options options) {
  if (!options.scheduler) throw std::invalid_argument("HandshakeGate: no scheduler");
  return std::make_shared<HandshakeGate>(Private{}, std::move(options));
}

HandshakeGate::HandshakeGate(Private, Options options)
    : options_(std::move(options)),
      worker_(std::make_shared<SerialExecutor>(workerLabel)),
      list_(options_.totalCap, options_.perAddressCap) {}

HandshakeGate::~HandshakeGate() {
  // Jobs still queued find the gate gone; once the worker has run them, its fields are this thread's.
  worker_->shutdown();
  closeAll();
}

void HandshakeGate::log(const std::string& line) const {
  if (options_.onLog) options_.onLog(line);
}

std::optional<std::string> HandshakeGate::admitPeerLine() {
  return peerLines_.admit(options_.scheduler->clock().nowUs());
}

void HandshakeGate::admit(std::shared_ptr<vela::SessionTransport> transport) {
  std::weak_ptr<HandshakeGate> weak = weak_from_this();
  const bool queued = worker_->post([weak, transport] {
    if (auto self = weak.lock()) {
      self->take(transport);
    } else {
      transport->close();
    }
  });
  if (!queued) transport->close();
}

void HandshakeGate::stop() {
  std::weak_ptr<HandshakeGate> weak = weak_from_this();
  worker_->sync([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->stopped_ = true;
    self->closeAll();
  });
}

void HandshakeGate::closeAll() {
  const std::set<std::shared_ptr<Waiting>> all = held_;  // release() erases from held_
  for (const auto& waiting : all) {
    release(waiting);
    waiting->transport->close();
  }
}

size_t HandshakeGate::waitingCount() {
  size_t count = 0;
  worker_->sync([this, &count] { count = held_.size(); });
  return count;
}

void HandshakeGate::waitIdle() { worker_->sync([] {}); }

void HandshakeGate::take(const std::shared_ptr<vela::SessionTransport>& transport) {
  if (stopped_) {
    transport->close();
    return;
  }
  auto waiting = std::make_shared<Waiting>();
  waiting->transport = transport;
  waiting->remote = transport->remoteDescription();
  for (const auto& displaced : list_.add(vela::peerAddressKey(waiting->remote), waiting)) {
    if (auto end = admitPeerLine())
      log("🚫 za dużo połączeń czekających na przyjęcie — zamykam najstarsze: " + displaced->remote + *end);
    release(displaced);
    displaced->transport->close();
  }
  held_.insert(waiting);
  watch(waiting);
}

void HandshakeGate::watch(const std::shared_ptr<Waiting>& waiting) {
  std::weak_ptr<HandshakeGate> weakGate = weak_from_this();
  std::weak_ptr<Waiting> weakWaiting = waiting;
  // The observers hold the worker, never the gate: a producer thread must not end up destroying it.
  auto wake = [worker = worker_, weakGate, weakWaiting, queued = waiting->drainQueued] {
    if (!queued->exchange(true)) queueDrain(*worker, weakGate, weakWaiting);
  };
  Scheduler& scheduler = *options_.scheduler;
  auto id = scheduler.after(options_.timeoutUs, [worker = worker_, weakGate, weakWaiting] {
    worker->post([weakGate, weakWaiting] {
      auto self = weakGate.lock();
      auto waiting = weakWaiting.lock();
      if (self && waiting) self->expire(waiting);
    });
  });
  waiting->timeout = ScopedTimer(scheduler, id);
  for (auto* stream : streamsOf(*waiting->transport)) stream->setObserver(wake);
  // What arrived before the observers were in place is drained now, before anything queued later.
  drain(waiting);
}

void HandshakeGate::drain(const std::shared_ptr<Waiting>& waiting) {
  waiting->drainQueued->store(false);
  if (!held_.contains(waiting)) return;
  vela::SessionTransport& transport = *waiting->transport;
  auto streams = streamsOf(transport);
  // One peer that keeps writing must not hold the worker from the others: a drain takes at most
  // drainBudget items of each stream and queues itself again behind the rest.
  bool more = false;
  // Without a key nothing but the control stream's E2E hello could pass the wrapper: the rest goes now.
  for (size_t i = 1; i < streams.size(); ++i) {
    size_t taken = 0;
    while (taken < drainBudget && streams[i]->tryReceive()) ++taken;
    more = more || taken == drainBudget;
  }
  vela::PacketStream& control = *streams[0];
  for (size_t taken = 0;; ++taken) {
    if (taken == drainBudget) {
      more = true;
      break;
    }
    auto packet = control.tryReceive();
    if (!packet) break;
    if (vela::E2EEnvelope::isEnvelope(*packet)) continue;
    auto outcome = vela::E2EHostHandshake::respond(*options_.identity, true, *packet);
    if (!outcome.consumed) continue;
    if (!outcome.answer) {
      // A peer that keeps sending bad hellos is refused in silence each time, but logged once.
      if (outcome.logLine && !std::exchange(waiting->refusalLogged, true)) {
        if (auto end = admitPeerLine()) log(*outcome.logLine + *end);
      }
      continue;
    }
    release(waiting);
    std::shared_ptr<vela::EncryptedTransport> wrapper;
    try {
      wrapper = vela::EncryptedTransport::hostKeyed(waiting->transport, options_.identity, outcome.answer->key,
                                                    options_.onLog);
    } catch (const std::system_error& e) {
      // The system refused the connection's threads: only this connection is lost.
      log(std::string("⚠️ brak zasobów na nowe połączenie (") + e.what() + ") — zamykam je: " + waiting->remote);
      waiting->transport->close();
      return;
    }
    wrapper->innerControl().send(outcome.answer->ackPacket);
    wrapper->log(vela::EncryptedTransport::keyedLine);
    if (options_.onKeyed) {
      options_.onKeyed(std::move(wrapper));
    } else {
      wrapper->close();
    }
    return;
  }
  // The peer went away (or the connection broke) before its handshake.
  if (control.isFinished()) {
    release(waiting);
    waiting->transport->close();
    return;
  }
  if (more && !waiting->drainQueued->exchange(true)) queueDrain(*worker_, weak_from_this(), waiting);
}

void HandshakeGate::queueDrain(SerialExecutor& worker, std::weak_ptr<HandshakeGate> gate,
                               std::weak_ptr<Waiting> waiting) {
  worker.post([gate = std::move(gate), waiting = std::move(waiting)] {
    auto self = gate.lock();
    auto held = waiting.lock();
    if (self && held) self->drain(held);
  });
}

void HandshakeGate::expire(const std::shared_ptr<Waiting>& waiting) {
  if (!held_.contains(waiting)) return;
  release(waiting);
  waiting->transport->close();
  if (auto end = admitPeerLine()) {
    log("⏱️ brak uzgodnienia klucza E2E w " + std::to_string(options_.timeoutUs / 1'000'000) +
        " s — zamykam wiszące połączenie: " + waiting->remote + *end);
  }
}

void HandshakeGate::release(const std::shared_ptr<Waiting>& waiting) {
  for (auto* stream : streamsOf(*waiting->transport)) stream->setObserver(nullptr);
  waiting->timeout.cancel();
  list_.forget(waiting);
  held_.erase(waiting);
}

}  // namespace tavlo
