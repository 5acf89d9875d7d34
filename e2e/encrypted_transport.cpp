#include "e2e/encrypted_transport.hpp"

#include <algorithm>
#include <utility>

#include "e2e/e2e_envelope.hpp"
#include "e2e/e2e_host_handshake.hpp"
#include "e2e/replay_window.hpp"
#include "e2e/seal_nonces.hpp"
#include "platform/runtime/thread_name.hpp"
#include "protocol/message_types.hpp"

namespace vela {

using tavlo::crypto::SymmetricKey;

namespace {

constexpr const char* sealFailedLine = "🔐 ❌ szyfrowanie pakietu nie powiodło się — pakiet odrzucony";
const std::string reliableExhaustedLine =
    "🔐 sesja zamknięta: klient wysłał pod jednym kluczem więcej ramek niezawodnych, niż host pamięta (";

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

// What judges sealed packets coming in, shared with the adoption verifiers of the inner flows: the
// nonces this end seals with, every nonce taken on the reliable channels (both in one set: a sealed
// frame may come in by either), and the recent nonces taken on each datagram flow.
struct EncryptedTransport::Inbound {
  SealNonces ownNonces;
  ReplayWindow reliable{ReplayWindow::reliableCapacity, ReplayWindow::WhenFull::refuse};
  std::array<ReplayWindow, allChannels.size()> datagrams;

  // The set of the channel `packet` (opened) names in its header; of the way it came in when it names
  // none. Judging by the sealed header catches a copy that comes in on another channel or flow.
  ReplayWindow& windowFor(ByteView packet, Channel innerChannel) {
    Channel channel = innerChannel;
    if (packet.size() > 5) {
      if (auto named = channelFromRaw(packet[5])) channel = *named;
    }
    if (channel == Channel::control || channel == Channel::inputReliable) return reliable;
    return datagrams[rawValue(channel)];
  }
};

class EncryptedTransport::EncReliable final : public ReliableChannel {
 public:
  EncReliable(EncryptedTransport& owner, ReliableChannel& inner, Channel expected, bool intercepts)
      : owner(owner), inner(inner), channel(expected), expected(rawValue(expected)), intercepts(intercepts) {}

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
  const Channel channel;
  const uint8_t expected;
  const bool intercepts;
  EncReliable* other = nullptr;
};

class EncryptedTransport::EncDatagram final : public DatagramFlow {
 public:
  EncDatagram(EncryptedTransport& owner, DatagramFlow& inner, Channel channel)
      : owner(owner), inner(inner), channel(channel), isInputFlow(channel == Channel::inputUnreliable) {}

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
  const Channel channel;
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
      sealer_(sealer ? std::move(sealer)
                     : Sealer([](ByteView packet, const SymmetricKey& key, const E2EEnvelope::Nonce& nonce) {
                         return E2EEnvelope::seal(packet, key, nonce);
                       })),
      keyState_(std::make_shared<KeyState>()),
      inbound_(std::make_shared<Inbound>()) {
  control_ = std::make_unique<EncReliable>(*this, inner_->control(), Channel::control, true);
  inputReliable_ = std::make_unique<EncReliable>(*this, inner_->inputReliable(), Channel::inputReliable, false);
  control_->other = inputReliable_.get();
  inputReliable_->other = control_.get();
  video_ = std::make_unique<EncDatagram>(*this, inner_->video(), Channel::video);
  audio_ = std::make_unique<EncDatagram>(*this, inner_->audio(), Channel::audio);
  inputUnreliable_ = std::make_unique<EncDatagram>(*this, inner_->inputUnreliable(), Channel::inputUnreliable);
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
  auto sealed = sealer_(packet, key, inbound_->ownNonces.next());
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

// A new address is taken only on a datagram that opens under the key and that no way in has seen:
// a copy of one taken before, or one this end sent, proves nothing about who sent it. The claim is
// entered at once, so of two copies arriving from two addresses at most one adopts. (A copy made of a
// datagram on its way here is judged only after the listener's late-flow delay, long after the
// original has been taken.)
void EncryptedTransport::installAdoptionVerifiers() {
  for (const auto& entry : {std::pair{Channel::video, &inner_->video()}, std::pair{Channel::audio, &inner_->audio()},
                             std::pair{Channel::inputUnreliable, &inner_->inputUnreliable()}}) {
    auto* adoptable = dynamic_cast<AdoptableDatagramFlow*>(entry.second);
    if (!adoptable) continue;
    adoptable->setAdoptionVerifier([state = keyState_, inbound = inbound_, channel = entry.first](ByteView datagram) {
      if (!E2EEnvelope::isEnvelope(datagram)) return false;
      auto key = state->get();
      if (!key) return false;
      ByteView nonce = E2EEnvelope::nonceOf(datagram);
      if (inbound->ownNonces.isOwn(nonce)) return false;
      auto opened = E2EEnvelope::open(datagram, *key);
      return opened && inbound->windowFor(*opened, channel).claimForAdoption(nonce);
    });
  }
}

std::optional<Bytes> EncryptedTransport::openNew(ByteView envelope, const SymmetricKey& key, Channel innerChannel) {
  ByteView nonce = E2EEnvelope::nonceOf(envelope);
  if (inbound_->ownNonces.isOwn(nonce)) return std::nullopt;
  auto opened = E2EEnvelope::open(envelope, key);
  if (!opened) return std::nullopt;
  if (inbound_->windowFor(*opened, innerChannel).takeForDelivery(nonce)) return opened;
  if (inbound_->reliable.full()) endSessionBeforeForgetting();
  return std::nullopt;
}

// The reliable set is full: rather than forget a nonce (and let a copy of that frame be typed again),
// the session ends here. The client connects again and agrees a new key, under which none of these
// frames opens.
void EncryptedTransport::endSessionBeforeForgetting() {
  if (reliableExhausted_.exchange(true)) return;
  log(reliableExhaustedLine + std::to_string(ReplayWindow::reliableCapacity) + ")");
  close();
}

bool EncryptedTransport::reliablePlaintextAllowed(bool sealed) const { return !requireEncrypted_ || sealed; }

void EncryptedTransport::reliablePump(EncReliable& channel) {
  while (auto item = channel.inner.incoming().receive()) {
    Bytes packet = std::move(*item);
    bool sealed = false;
    auto key = currentKey();
    if (E2EEnvelope::isEnvelope(packet)) {
      if (!key) continue;
      auto opened = openNew(packet, *key, channel.channel);
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
      if (auto opened = openNew(datagram, *key, flow.channel)) flow.stream.send(std::move(*opened));
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
