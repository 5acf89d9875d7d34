#include "e2e/encrypted_transport.hpp"

#include <algorithm>

#include "e2e/e2e_envelope.hpp"
#include "e2e/e2e_host_handshake.hpp"
#include "platform/runtime/thread_name.hpp"
#include "protocol/message_types.hpp"

namespace vela {

using tavlo::crypto::SymmetricKey;

namespace {

constexpr const char* sealFailedLine = "🔐 ❌ szyfrowanie pakietu nie powiodło się — pakiet odrzucony";

std::optional<PacketHeader> headerOf(ByteView packet) {
  try {
    ByteReader reader(packet);
    return PacketHeader::decode(reader);
  } catch (const WireError&) {
    return std::nullopt;
  }
}

// A bind or keepalive datagram: a header alone, of message type 0.
bool isBareHeader(ByteView datagram) {
  if (datagram.size() != PacketHeader::byteCount) return false;
  auto header = headerOf(datagram);
  return header && header->msgType == ControlType::flowBind;
}

bool isHello(ByteView packet) {
  auto header = headerOf(packet);
  return header && header->channel == Channel::control && header->msgType == ControlType::e2eHello;
}

}  // namespace

// The session key, shared with the adoption verifiers that the inner flows call from their own threads;
// `alive` turns false when the wrapper goes, so a verifier outliving it adopts nothing.
struct EncryptedTransport::KeyState {
  mutable std::mutex mutex;
  std::optional<SymmetricKey> key;
  bool alive = true;

  std::optional<SymmetricKey> get() const {
    std::lock_guard guard(mutex);
    if (!alive) return std::nullopt;
    return key;
  }
};

class EncryptedTransport::EncReliable final : public ReliableChannel {
 public:
  EncReliable(EncryptedTransport& owner, ReliableChannel& inner, Channel expected, bool intercepts)
      : owner(owner), inner(inner), expected(rawValue(expected)), intercepts(intercepts) {}

  void send(ByteView packet) override {
    if (auto key = owner.currentKey()) {
      if (auto sealed = owner.seal(packet, *key)) inner.send(*sealed);
    } else {
      inner.send(packet);
    }
  }
  PacketStream& incoming() override { return stream; }
  int64_t outstandingBytes() const override { return inner.outstandingBytes(); }

  EncryptedTransport& owner;
  ReliableChannel& inner;
  PacketStream stream;
  const uint8_t expected;
  const bool intercepts;
  EncReliable* other = nullptr;
};

class EncryptedTransport::EncDatagram final : public DatagramFlow {
 public:
  EncDatagram(EncryptedTransport& owner, DatagramFlow& inner, bool isInputFlow)
      : owner(owner), inner(inner), isInputFlow(isInputFlow) {}

  int maxDatagramSize() const override {
    return std::max(inner.maxDatagramSize() - static_cast<int>(E2EEnvelope::overhead), minDatagramSize);
  }
  void send(ByteView datagram) override {
    if (auto key = owner.currentKey()) {
      if (auto sealed = owner.seal(datagram, *key)) inner.send(*sealed);
    } else {
      inner.send(datagram);
    }
  }
  void sendBatch(std::span<const ByteView> datagrams) override {
    auto key = owner.currentKey();
    if (!key) {
      inner.sendBatch(datagrams);
      return;
    }
    std::vector<Bytes> sealed;
    sealed.reserve(datagrams.size());
    for (ByteView datagram : datagrams) {
      if (auto envelope = owner.seal(datagram, *key)) sealed.push_back(std::move(*envelope));
    }
    std::vector<ByteView> views(sealed.begin(), sealed.end());
    inner.sendBatch(views);
  }
  PacketStream& incoming() override { return stream; }
  // The inner flow closes with the wrapper.
  void close() override {}

  EncryptedTransport& owner;
  DatagramFlow& inner;
  // Bounded like the inner flow: the pump drains that one at once, so this is where datagrams wait.
  PacketStream stream{datagramQueueLimit};
  const bool isInputFlow;
};

std::shared_ptr<EncryptedTransport> EncryptedTransport::create(std::shared_ptr<SessionTransport> inner,
                                                               tavlo::LogSink onLog, bool requireEncrypted,
                                                               ControlIntercept controlIntercept, Sealer sealer) {
  auto wrapper = std::make_shared<EncryptedTransport>(Private{}, std::move(inner), std::move(onLog), requireEncrypted,
                                                      std::move(controlIntercept), std::move(sealer));
  wrapper->startPumps();
  return wrapper;
}

EncryptedTransport::EncryptedTransport(Private, std::shared_ptr<SessionTransport> inner, tavlo::LogSink onLog,
                                       bool requireEncrypted, ControlIntercept controlIntercept, Sealer sealer)
    : inner_(std::move(inner)),
      onLog_(std::move(onLog)),
      requireEncrypted_(requireEncrypted),
      controlIntercept_(std::move(controlIntercept)),
      sealer_(sealer ? std::move(sealer) : Sealer(E2EEnvelope::seal)),
      keyState_(std::make_shared<KeyState>()) {
  control_ = std::make_unique<EncReliable>(*this, inner_->control(), Channel::control, true);
  inputReliable_ = std::make_unique<EncReliable>(*this, inner_->inputReliable(), Channel::inputReliable, false);
  control_->other = inputReliable_.get();
  inputReliable_->other = control_.get();
  video_ = std::make_unique<EncDatagram>(*this, inner_->video(), false);
  audio_ = std::make_unique<EncDatagram>(*this, inner_->audio(), false);
  inputUnreliable_ = std::make_unique<EncDatagram>(*this, inner_->inputUnreliable(), true);
}

EncryptedTransport::~EncryptedTransport() {
  tavlo::ScopedTimer timer;
  {
    std::lock_guard guard(mutex_);
    timer = std::move(keepaliveTimer_);
  }
  timer.cancel();
  {
    std::lock_guard guard(keyState_->mutex);
    keyState_->alive = false;
  }
  // The pumps block on the inner streams: closing the inner transport ends them.
  inner_->close();
  for (auto& pump : pumps_) {
    if (!pump.joinable()) continue;
    if (pump.get_id() == std::this_thread::get_id()) {
      pump.detach();  // released from its own pump: it touches nothing of the wrapper after this
    } else {
      pump.join();
    }
  }
}

void EncryptedTransport::startPumps() {
  auto start = [this](const char* name, auto body) {
    pumps_.emplace_back([name, body] {
      tavlo::setCurrentThreadName(name);
      body();
    });
  };
  start("e2e.control", [this] { reliablePump(*control_); });
  start("e2e.input", [this] { reliablePump(*inputReliable_); });
  start("e2e.video", [this] { datagramPump(*video_); });
  start("e2e.audio", [this] { datagramPump(*audio_); });
  start("e2e.inputU", [this] { datagramPump(*inputUnreliable_); });
}

bool EncryptedTransport::isEncrypted() const { return keyState_->get().has_value(); }

ReliableChannel& EncryptedTransport::control() { return *control_; }
ReliableChannel& EncryptedTransport::inputReliable() { return *inputReliable_; }
DatagramFlow& EncryptedTransport::video() { return *video_; }
DatagramFlow& EncryptedTransport::audio() { return *audio_; }
DatagramFlow& EncryptedTransport::inputUnreliable() { return *inputUnreliable_; }
std::string EncryptedTransport::remoteDescription() const { return inner_->remoteDescription(); }
ReliableChannel& EncryptedTransport::innerControl() { return inner_->control(); }

void EncryptedTransport::close() {
  tavlo::ScopedTimer timer;
  {
    std::lock_guard guard(mutex_);
    timer = std::move(keepaliveTimer_);
  }
  timer.cancel();
  inner_->close();
}

void EncryptedTransport::log(const std::string& line) const {
  if (onLog_) onLog_(line);
}

std::optional<SymmetricKey> EncryptedTransport::currentKey() const { return keyState_->get(); }

std::optional<Bytes> EncryptedTransport::seal(ByteView packet, const SymmetricKey& key) {
  auto sealed = sealer_(packet, key);
  if (!sealed && !sealFailureLogged_.exchange(true)) log(sealFailedLine);
  return sealed;
}

void EncryptedTransport::installKey(const SymmetricKey& key) {
  {
    std::lock_guard guard(keyState_->mutex);
    keyState_->key = key;
  }
  installAdoptionVerifiers();
}

void EncryptedTransport::installAdoptionVerifiers() {
  for (DatagramFlow* flow : {&inner_->video(), &inner_->audio(), &inner_->inputUnreliable()}) {
    auto* adoptable = dynamic_cast<AdoptableDatagramFlow*>(flow);
    if (!adoptable) continue;
    adoptable->setAdoptionVerifier([state = keyState_](ByteView datagram) {
      if (!E2EEnvelope::isEnvelope(datagram)) return false;
      auto key = state->get();
      return key && E2EEnvelope::open(datagram, *key).has_value();
    });
  }
}

bool EncryptedTransport::reliablePlaintextAllowed(bool sealed) const { return !requireEncrypted_ || sealed; }

void EncryptedTransport::reliablePump(EncReliable& channel) {
  while (auto item = channel.inner.incoming().receive()) {
    Bytes packet = std::move(*item);
    bool sealed = false;
    auto key = currentKey();
    if (E2EEnvelope::isEnvelope(packet)) {
      if (!key) continue;
      auto opened = E2EEnvelope::open(packet, *key);
      if (!opened) continue;
      packet = std::move(*opened);
      sealed = true;
    } else if (key && requireEncrypted_) {
      continue;
    }
    if (channel.intercepts && controlIntercept_ && controlIntercept_(*this, packet, sealed)) continue;
    if (!reliablePlaintextAllowed(sealed)) continue;
    // A sealed packet of the other reliable channel arrives here: the multiplex cannot read its header and
    // sends every envelope to control. Passing it on from this one pump keeps both channels in order.
    if (packet.size() >= 6 && packet[5] == channel.other->expected) {
      deliverReliable(*channel.other, std::move(packet), sealed);
    } else {
      channel.stream.send(std::move(packet));
    }
  }
  channel.stream.close();
}

void EncryptedTransport::deliverReliable(EncReliable& target, Bytes packet, bool sealed) {
  if (target.intercepts && controlIntercept_ && controlIntercept_(*this, packet, sealed)) return;
  if (!reliablePlaintextAllowed(sealed)) return;
  target.stream.send(std::move(packet));
}

void EncryptedTransport::datagramPump(EncDatagram& flow) {
  while (auto item = flow.inner.incoming().receive()) {
    Bytes datagram = std::move(*item);
    auto key = currentKey();
    if (E2EEnvelope::isEnvelope(datagram)) {
      if (!key) continue;
      if (auto opened = E2EEnvelope::open(datagram, *key)) flow.stream.send(std::move(*opened));
    } else if (!key) {
      if (!requireEncrypted_) flow.stream.send(std::move(datagram));
    } else if (isBareHeader(datagram) && !flow.isInputFlow) {
      flow.stream.send(std::move(datagram));
    }
  }
  flow.stream.close();
}

EncryptedTransport::ControlIntercept EncryptedTransport::hostIntercept(std::shared_ptr<const E2EIdentity> identity,
                                                                      bool requireSecure) {
  return [identity = std::move(identity), requireSecure](EncryptedTransport& wrapper, ByteView packet, bool sealed) {
    // Once keyed, a new key is taken only from a hello sealed under the current one: the gate MAC is
    // keyed with a public key and stops nobody who can write into the stream.
    if (!sealed && wrapper.isEncrypted()) return isHello(packet);
    auto outcome = E2EHostHandshake::respond(*identity, requireSecure, packet);
    if (!outcome.consumed) return false;
    if (outcome.logLine) wrapper.log(*outcome.logLine);
    if (outcome.answer) {
      // The key is in place before the ack leaves: the client seals from the moment it has the ack,
      // and the other pumps judge its packets on their own threads. A packet judged before the key
      // existed would be dropped, and on a reliable channel that loses data.
      wrapper.installKey(outcome.answer->key);
      wrapper.innerControl().send(outcome.answer->ackPacket);
      wrapper.log(std::string(keyedLine));
    }
    return true;
  };
}

std::shared_ptr<EncryptedTransport> EncryptedTransport::host(std::shared_ptr<SessionTransport> inner,
                                                             std::shared_ptr<const E2EIdentity> identity,
                                                             bool requireSecure, tavlo::LogSink onLog) {
  return create(std::move(inner), std::move(onLog), requireSecure, hostIntercept(std::move(identity), requireSecure));
}

std::shared_ptr<EncryptedTransport> EncryptedTransport::hostKeyed(std::shared_ptr<SessionTransport> inner,
                                                                  std::shared_ptr<const E2EIdentity> identity,
                                                                  const SymmetricKey& key, tavlo::LogSink onLog) {
  auto wrapper = std::make_shared<EncryptedTransport>(Private{}, std::move(inner), std::move(onLog), true,
                                                      hostIntercept(std::move(identity), true), Sealer{});
  wrapper->installKey(key);
  wrapper->startPumps();
  return wrapper;
}

}  // namespace vela
