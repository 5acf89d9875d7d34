#include "tests/testkit/memory_transport.hpp"

namespace vela::testkit {

void MemoryReliableChannel::send(ByteView packet) {
  if (owner_.isClosed()) return;
  tap_.add(packet);
  if (auto peer = owner_.peer()) peer->memoryReliable(channel_).inject(packet);
}

void MemoryDatagramFlow::send(ByteView datagram) {
  if (owner_.isClosed()) return;
  tap_.add(datagram);
  if (auto peer = owner_.peer()) peer->memoryFlow(channel_).receive(source_, datagram);
}

void MemoryDatagramFlow::sendBatch(std::span<const ByteView> datagrams) {
  ++batches_;
  for (ByteView datagram : datagrams) send(datagram);
}

void MemoryDatagramFlow::close() {
  ++closes_;
  incoming_.close();
}

void MemoryDatagramFlow::setAdoptionVerifier(Verifier verifier) {
  std::lock_guard guard(mutex_);
  verifier_ = std::move(verifier);
}

bool MemoryDatagramFlow::hasVerifier() const {
  std::lock_guard guard(mutex_);
  return static_cast<bool>(verifier_);
}

void MemoryDatagramFlow::inject(ByteView datagram) {
  uint32_t source;
  {
    std::lock_guard guard(mutex_);
    source = peerSource_;
  }
  receive(source, datagram);
}

void MemoryDatagramFlow::receive(uint32_t source, ByteView datagram) {
  Verifier verifier;
  {
    std::lock_guard guard(mutex_);
    if (source == peerSource_) {
      incoming_.send(Bytes(datagram.begin(), datagram.end()));
      return;
    }
    verifier = verifier_;
  }
  // The verifier runs without the lock, as a real flow would call it from its receive thread.
  if (!verifier || !verifier(datagram)) return;
  {
    std::lock_guard guard(mutex_);
    peerSource_ = source;
  }
  ++adoptions_;
  incoming_.send(Bytes(datagram.begin(), datagram.end()));
}

MemorySessionTransport::MemorySessionTransport(Options options)
    : options_(std::move(options)),
      video_(*this, Channel::video, options_.maxDatagramSize),
      audio_(*this, Channel::audio, options_.maxDatagramSize),
      inputUnreliable_(*this, Channel::inputUnreliable, options_.maxDatagramSize) {}

void MemorySessionTransport::connect(const std::shared_ptr<MemorySessionTransport>& a,
                                     const std::shared_ptr<MemorySessionTransport>& b) {
  {
    std::lock_guard guard(a->mutex_);
    a->peer_ = b;
  }
  std::lock_guard guard(b->mutex_);
  b->peer_ = a;
}

std::shared_ptr<MemorySessionTransport> MemorySessionTransport::peer() const {
  std::lock_guard guard(mutex_);
  return peer_.lock();
}

MemoryReliableChannel& MemorySessionTransport::memoryReliable(Channel channel) {
  return channel == Channel::control ? control_ : inputReliable_;
}

MemoryDatagramFlow& MemorySessionTransport::memoryFlow(Channel channel) {
  switch (channel) {
    case Channel::video: return video_;
    case Channel::audio: return audio_;
    default: return inputUnreliable_;
  }
}

void MemorySessionTransport::finishStreams() {
  closed_ = true;
  control_.incoming_.close();
  inputReliable_.incoming_.close();
  video_.incoming_.close();
  audio_.incoming_.close();
  inputUnreliable_.incoming_.close();
}

void MemorySessionTransport::close() {
  ++closes_;
  finishStreams();
  if (auto other = peer()) other->finishStreams();
}

bool MemorySessionTransport::rebindInputFlow() {
  if (!options_.canRebind || closed_) return false;
  inputUnreliable_.moveToNewSource();
  ByteWriter writer(PacketHeader::byteCount);
  PacketHeader{Channel::inputUnreliable, 0x00, {}, 0, 0}.encode(writer);
  inputUnreliable_.send(writer.data());
  return true;
}

MemoryTransportPair MemoryTransportPair::make(int maxDatagramSize) {
  auto host = std::make_shared<MemorySessionTransport>(
      MemorySessionTransport::Options{maxDatagramSize, "192.0.2.20:51000", false});
  auto client = std::make_shared<MemorySessionTransport>(
      MemorySessionTransport::Options{maxDatagramSize, "192.0.2.1:47700", true});
  MemorySessionTransport::connect(host, client);
  return {host, client};
}

}  // namespace vela::testkit
