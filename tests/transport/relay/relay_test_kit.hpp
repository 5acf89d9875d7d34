#pragma once
// Test kit of the relay path: a scripted relay service whose every byte the test writes and reads
// itself, and a world of a host link and a client dialer on loopback, against our own relay service
// or against one the test runs.
#include <memory>
#include <optional>
#include <string>

#include "platform/crypto/ed25519.hpp"
#include "platform/runtime/scheduler.hpp"
#include "tests/transport/loopback_host.hpp"
#include "tests/transport/raw_sockets.hpp"
#include "tools/relay/relay_server.hpp"
#include "transport/relay_client_dialer.hpp"
#include "transport/relay_host_link.hpp"

namespace vela::relaytest {

using namespace std::chrono_literals;
using tavlo::Bytes;
using tavlo::ByteView;
using testkit::LogRecorder;
using testkit::receiveWithin;
using ScriptedPeer = testkit::RawTcp;

// A plain packet of `channel` with a short payload, as the multiplex and the flows carry it.
Bytes packet(uint8_t channel, const std::string& text, uint8_t messageType = 0x10);

// A relay service whose answers the test writes: a line port on loopback, and a datagram port that
// nobody reads (the flows of joined sessions need one).
struct ScriptedRelay {
  RelayService service() const { return RelayService{"127.0.0.1", tcp.port(), udp.port()}; }
  std::unique_ptr<ScriptedPeer> accept(std::chrono::milliseconds timeout = 5s) { return tcp.accept(timeout); }

  testkit::RawTcpListener tcp;
  testkit::RawUdp udp;
};

// An identity for tests: a host identifier and a fresh Ed25519 key.
struct TestIdentity {
  std::string hostID = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
  tavlo::crypto::Ed25519PrivateKey key = *tavlo::crypto::Ed25519PrivateKey::generate();

  Bytes sigPub() const { return Bytes(key.publicKey().begin(), key.publicKey().end()); }
  RelayHostLink::Sign signer() const;
};

// A host link and a client dialer on a ManualScheduler; by default against our own relay service,
// in-process on free loopback ports.
struct RelayWorld {
  RelayWorld() : RelayWorld(std::nullopt) {}
  // Against the service at `external` when given.
  explicit RelayWorld(std::optional<RelayService> external);
  ~RelayWorld();
  // The link's parameters for `identity`, logging into `hostLog`, emitting into `emitted`; a test that
  // changes one creates `link` again with them.
  RelayHostLink::Params linkParams();
  // Starts the link and waits until it (and our service, if it runs) has registered it.
  bool startHost();
  struct Pair {
    std::shared_ptr<SessionTransport> client;
    std::shared_ptr<SessionTransport> host;
  };
  // Connects a client (which blocks until the host has joined) and takes the host's transport.
  Pair connectPair();
  // Waits until our service has learned the addresses of both sides' three flows of the newest session.
  bool flowsBound();

  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler{clock};
  LogRecorder relayLog;
  std::optional<tavlo::ThreadScheduler> relayScheduler;
  std::unique_ptr<tavlo::relay::RelayServer> server;  // ours; null against an external service
  RelayService service;
  TestIdentity identity;
  LogRecorder hostLog;
  std::shared_ptr<SessionStream> emitted = std::make_shared<SessionStream>();
  std::shared_ptr<RelayHostLink> link;
  RelayClientDialer dialer{RelayClientDialer::Params{service, &scheduler}};
};

struct ScriptedRelayHolder {
  ScriptedRelay relay;
};

// A RelayWorld whose relay service the test plays.
struct ScriptedWorld : ScriptedRelayHolder, RelayWorld {
  ScriptedWorld() : RelayWorld(relay.service()) {}
};

}  // namespace vela::relaytest
