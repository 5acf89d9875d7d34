#pragma once
// Two session transports joined in memory: what one side sends on a channel arrives on the other side's
// same channel, in order. For tests of anything that runs over a SessionTransport (the encrypting
// wrapper, sessions, senders) without sockets.
//
// - Every channel taps what its side sent (`sent()`), so a test can look at the bytes "on the wire".
// - `inject` puts a packet into a side's incoming stream as if anyone on the path had sent it.
// - Datagram flows are adoptable: each side sends from a source number; the receiving flow delivers
//   only datagrams from the source it knows, and adopts a new source when its adoption verifier
//   accepts a datagram from it (that datagram is delivered too). `rebindInputFlow` moves the
//   unreliable-input flow to a new source and sends a plain bind header from it, like the direct path.
// - `close` ends the connection: both sides' incoming streams finish.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/transport_interfaces.hpp"
#include "tests/testkit/tap.hpp"

namespace vela::testkit {

class MemorySessionTransport;

class MemoryReliableChannel final : public ReliableChannel {
 public:
  MemoryReliableChannel(MemorySessionTransport& owner, Channel channel) : owner_(owner), channel_(channel) {}
  void send(ByteView packet) override;
  PacketStream& incoming() override { return incoming_; }
  int64_t outstandingBytes() const override { return 0; }

  const Tap& sent() const { return tap_; }
  Tap& sent() { return tap_; }
  void inject(ByteView packet) { incoming_.send(Bytes(packet.begin(), packet.end())); }

 private:
  friend class MemorySessionTransport;
  MemorySessionTransport& owner_;
  const Channel channel_;
  PacketStream incoming_;
  Tap tap_;
};

class MemoryDatagramFlow final : public AdoptableDatagramFlow {
 public:
  MemoryDatagramFlow(MemorySessionTransport& owner, Channel channel, int maxDatagramSize)
      : owner_(owner), channel_(channel), maxDatagramSize_(maxDatagramSize) {}
  int maxDatagramSize() const override { return maxDatagramSize_; }
  void send(ByteView datagram) override;
  void sendBatch(std::span<const ByteView> datagrams) override;
  PacketStream& incoming() override { return incoming_; }
  void close() override;
  void setAdoptionVerifier(Verifier verifier) override;

  const Tap& sent() const { return tap_; }
  Tap& sent() { return tap_; }
  // As if the peer's current source had sent it.
  void inject(ByteView datagram);
  // A datagram from `source` reaching this side.
  void receive(uint32_t source, ByteView datagram);
  // Later datagrams of this side leave from a new source.
  void moveToNewSource() { ++source_; }

  bool hasVerifier() const;
  int adoptions() const { return adoptions_; }
  int batches() const { return batches_; }
  int closeCount() const { return closes_; }

 private:
  friend class MemorySessionTransport;
  MemorySessionTransport& owner_;
  const Channel channel_;
  const int maxDatagramSize_;
  PacketStream incoming_;
  Tap tap_;
  std::atomic<uint32_t> source_{0};  // the source this side sends from
  mutable std::mutex mutex_;         // peerSource_, verifier_
  uint32_t peerSource_ = 0;          // the source this side accepts datagrams from
  Verifier verifier_;
  std::atomic<int> adoptions_{0};
  std::atomic<int> batches_{0};
  std::atomic<int> closes_{0};
};

class MemorySessionTransport final : public RebindableTransport {
 public:
  struct Options {
    int maxDatagramSize = defaultMaxDatagramSize;
    std::string description = "192.0.2.1:50000";
    bool canRebind = true;
  };
  explicit MemorySessionTransport(Options options);

  // Joins two transports both ways.
  static void connect(const std::shared_ptr<MemorySessionTransport>& a, const std::shared_ptr<MemorySessionTransport>& b);

  ReliableChannel& control() override { return control_; }
  ReliableChannel& inputReliable() override { return inputReliable_; }
  DatagramFlow& video() override { return video_; }
  DatagramFlow& audio() override { return audio_; }
  DatagramFlow& inputUnreliable() override { return inputUnreliable_; }
  std::string remoteDescription() const override { return options_.description; }
  void close() override;
  bool rebindInputFlow() override;

  MemoryReliableChannel& memoryReliable(Channel channel);
  MemoryDatagramFlow& memoryFlow(Channel channel);
  int closeCount() const { return closes_; }
  bool isClosed() const { return closed_; }

 private:
  friend class MemoryReliableChannel;
  friend class MemoryDatagramFlow;
  std::shared_ptr<MemorySessionTransport> peer() const;
  void finishStreams();

  const Options options_;
  MemoryReliableChannel control_{*this, Channel::control};
  MemoryReliableChannel inputReliable_{*this, Channel::inputReliable};
  MemoryDatagramFlow video_;
  MemoryDatagramFlow audio_;
  MemoryDatagramFlow inputUnreliable_;
  mutable std::mutex mutex_;  // peer_
  std::weak_ptr<MemorySessionTransport> peer_;
  std::atomic<bool> closed_{false};
  std::atomic<int> closes_{0};
};

// A host side and a client side joined in memory.
struct MemoryTransportPair {
  std::shared_ptr<MemorySessionTransport> host;
  std::shared_ptr<MemorySessionTransport> client;

  static MemoryTransportPair make(int maxDatagramSize = defaultMaxDatagramSize);
};

}  // namespace vela::testkit
