#pragma once
// Test kit of the relay path: a log that tests wait on, a scripted relay service whose every byte the
// test writes and reads itself, raw UDP sockets, and a world with our own relay service, a host link
// and a client dialer on loopback.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto/ed25519.hpp"
#include "platform/net/net_thread.hpp"
#include "platform/net/socket_address.hpp"
#include "platform/net/tcp_connection.hpp"
#include "platform/net/tcp_listen_socket.hpp"
#include "platform/net/udp_socket.hpp"
#include "platform/runtime/channel.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"
#include "tools/relay/relay_server.hpp"
#include "transport/relay_client_dialer.hpp"
#include "transport/relay_host_link.hpp"
#include "transport/relay_line_buffer.hpp"

namespace vela::relaytest {

using namespace std::chrono_literals;
using tavlo::Bytes;
using tavlo::ByteView;

// Receives from `channel` for up to `timeout` of real time (a wait for an event, not a sleep).
template <class T>
std::optional<T> receiveWithin(tavlo::Channel<T>& channel, std::chrono::milliseconds timeout = 5s) {
  const auto& clock = tavlo::SteadyClock::shared();
  return channel.receiveUntil(clock, clock.nowUs() + static_cast<uint64_t>(timeout.count()) * 1000);
}

// Log lines from any thread, kept in order.
class LogRecorder {
 public:
  tavlo::LogSink sink();
  // Waits until `count` lines containing `text` have been logged; the last of them, or nullopt.
  std::optional<std::string> waitFor(const std::string& text, size_t count = 1, std::chrono::milliseconds timeout = 5s);
  std::vector<std::string> lines() const;
  size_t count(const std::string& text) const;

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable added;
    std::vector<std::string> lines;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// One accepted connection of a ScriptedRelay, driven from the test's thread.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::shared_ptr<tavlo::TcpConnection> connection);
  ~ScriptedPeer();
  void write(const std::string& text);
  void write(ByteView bytes);
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 5s);
  // Reads exactly `count` bytes (behind any line read so far).
  std::optional<Bytes> readBytes(size_t count, std::chrono::milliseconds timeout = 5s);
  // Whether the other end closed the connection within `timeout`.
  bool closedByPeer(std::chrono::milliseconds timeout = 5s);
  void close();

 private:
  bool pull(std::chrono::milliseconds timeout);
  void readNext();

  const std::shared_ptr<tavlo::TcpConnection> connection_;
  std::shared_ptr<tavlo::Channel<Bytes>> pieces_ = std::make_shared<tavlo::Channel<Bytes>>();
  RelayLineBuffer lines_;
  Bytes raw_;  // bytes taken from lines_ for readBytes
};

// A relay service whose answers the test writes: it only accepts connections on a free loopback port.
class ScriptedRelay {
 public:
  ScriptedRelay();
  ~ScriptedRelay();
  std::shared_ptr<ScriptedPeer> accept(std::chrono::milliseconds timeout = 5s);
  // A datagram port that nobody reads (the flows of joined sessions need one).
  RelayService service() const;
  // How many connections were accepted and not yet taken by accept().
  size_t waiting() const { return accepted_->size(); }

 private:
  std::shared_ptr<tavlo::NetThread> thread_;
  std::unique_ptr<tavlo::TcpListenSocket> listener_;
  std::shared_ptr<tavlo::UdpSocket> udp_;
  std::shared_ptr<tavlo::Channel<std::shared_ptr<tavlo::TcpConnection>>> accepted_ =
      std::make_shared<tavlo::Channel<std::shared_ptr<tavlo::TcpConnection>>>();
};

// A UDP socket on a free loopback port, read from the test's thread.
class RawUdp {
 public:
  RawUdp();
  ~RawUdp();
  uint16_t port() const;
  void sendTo(const tavlo::SocketAddress& to, ByteView datagram);
  // The next datagram and its sender.
  std::optional<std::pair<tavlo::SocketAddress, Bytes>> receive(std::chrono::milliseconds timeout = 5s);
  size_t waiting() const { return received_->size(); }

 private:
  std::shared_ptr<tavlo::NetThread> thread_;
  std::shared_ptr<tavlo::UdpSocket> socket_;
  std::shared_ptr<tavlo::Channel<std::pair<tavlo::SocketAddress, Bytes>>> received_ =
      std::make_shared<tavlo::Channel<std::pair<tavlo::SocketAddress, Bytes>>>();
};

// An identity for tests: a host identifier and a fresh Ed25519 key.
struct TestIdentity {
  std::string hostID = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
  tavlo::crypto::Ed25519PrivateKey key = *tavlo::crypto::Ed25519PrivateKey::generate();

  Bytes sigPub() const { return Bytes(key.publicKey().begin(), key.publicKey().end()); }
  RelayHostLink::Sign signer() const;
};

// The host link's parameters for `identity` against `service`, logging into `log`, with transports
// collected in `emitted`.
RelayHostLink::Params linkParams(const TestIdentity& identity, const RelayService& service, tavlo::Scheduler& scheduler,
                                 LogRecorder& log, std::shared_ptr<SessionStream> emitted);

// Our own relay service in-process on free loopback ports, a host link registered with it and a
// dialer that reaches it; link and dialer run on a ManualScheduler.
struct RelayWorld {
  RelayWorld();
  ~RelayWorld();
  // Starts the link and waits until the relay has registered it.
  bool startHost();
  struct Pair {
    std::shared_ptr<SessionTransport> client;
    std::shared_ptr<SessionTransport> host;
  };
  // Connects a client (which blocks until the host has joined) and takes the host's transport.
  Pair connectPair();
  // Waits until the relay has learned the addresses of both sides' three flows of the newest session.
  bool flowsBound();

  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler{clock};
  tavlo::ThreadScheduler relayScheduler;
  LogRecorder relayLog;
  std::unique_ptr<tavlo::relay::RelayServer> relay;
  TestIdentity identity;
  LogRecorder hostLog;
  std::shared_ptr<SessionStream> emitted = std::make_shared<SessionStream>();
  std::shared_ptr<RelayHostLink> link;
  RelayClientDialer dialer;
};

}  // namespace vela::relaytest
