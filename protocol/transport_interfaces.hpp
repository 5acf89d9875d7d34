#pragma once
// What the session logic sees of a client: two ordered reliable channels and three datagram flows.
// Implemented by the direct path, the relay path, the client dialers and the encrypting wrapper.
//
// Every operation may be called from any thread; each `incoming` stream has one consumer at a time.
// A packet handed to a transport is a whole encoded packet; transports add no framing the session sees.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/runtime/bytes.hpp"
#include "platform/runtime/channel.hpp"
#include "protocol/packet_header.hpp"

namespace vela {

using PacketStream = tavlo::Channel<Bytes>;

class DatagramFlow {
 public:
  virtual ~DatagramFlow() = default;

  // The largest datagram `send` carries whole.
  virtual int maxDatagramSize() const { return defaultMaxDatagramSize; }
  // Hands one datagram to the path; loss is silent.
  virtual void send(ByteView datagram) = 0;
  // Hands a list of datagrams, which leave in list order. The default sends them one by one.
  virtual void sendBatch(std::span<const ByteView> datagrams) {
    for (ByteView datagram : datagrams) send(datagram);
  }
  // Whole datagrams as the peer sent them; finishes when the flow is closed.
  virtual PacketStream& incoming() = 0;
  virtual void close() = 0;
};

// A flow that may move to a new peer address once a verifier accepts a datagram from it.
class AdoptableDatagramFlow : public DatagramFlow {
 public:
  using Verifier = std::function<bool(ByteView datagram)>;  // callable from any thread
  virtual void setAdoptionVerifier(Verifier verifier) = 0;
};

class ReliableChannel {
 public:
  virtual ~ReliableChannel() = default;
  // Queues one packet for ordered, reliable delivery; it arrives whole as one item of the peer's incoming.
  virtual void send(ByteView packet) = 0;
  virtual PacketStream& incoming() = 0;
  // Bytes handed to send that the connection has not yet taken (back-pressure for bulk senders).
  virtual int64_t outstandingBytes() const = 0;
};

class SessionTransport {
 public:
  virtual ~SessionTransport() = default;
  virtual ReliableChannel& control() = 0;
  virtual ReliableChannel& inputReliable() = 0;
  virtual DatagramFlow& video() = 0;
  virtual DatagramFlow& audio() = 0;
  virtual DatagramFlow& inputUnreliable() = 0;
  // The peer for logs and path classification; relayed transports begin with "relay/".
  virtual std::string remoteDescription() const = 0;
  // Closes all five channels and the connections under them.
  virtual void close() = 0;
};

// Whether a transport description names the relay path ("relay/" in any mix of cases).
bool isRelayedDescription(const std::string& description);

class RebindableTransport : public SessionTransport {
 public:
  // Client side only: replaces the unreliable-input flow's path with a fresh one; blocks until done.
  virtual bool rebindInputFlow() = 0;
};

using SessionStream = tavlo::Channel<std::shared_ptr<SessionTransport>>;

class TransportListener {
 public:
  virtual ~TransportListener() = default;
  // Throws when it cannot listen.
  virtual void start(uint16_t port) = 0;
  // One transport per connecting client, once all of its channels are ready.
  virtual SessionStream& sessions() = 0;
  virtual void stop() = 0;
};

class TransportDialer {
 public:
  virtual ~TransportDialer() = default;
  // Client side only: blocks until connected; throws on failure.
  virtual std::shared_ptr<SessionTransport> connect(const std::string& host, uint16_t controlPort) = 0;
};

}  // namespace vela
