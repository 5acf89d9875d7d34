#include "host/controller/handshake_gate.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <thread>

#include "e2e/e2e_client_handshake.hpp"
#include "host/controller/resource_usage.hpp"
#include "platform/runtime/clock.hpp"
#include "tests/host/controller/controller_test_kit.hpp"
#include "tests/testkit/memory_transport.hpp"

namespace tavlo {
namespace {

using vela::testkit::MemorySessionTransport;

std::shared_ptr<const vela::E2EIdentity> gateIdentity() {
  static MemorySecretStore secrets;
  static Settings settings;
  static auto identity =
      vela::E2EIdentity::load({secrets, settings, std::nullopt, [] { return std::optional<std::string>("gate-test"); }});
  return identity;
}

bool trustAll(const Uuid&, ByteView, const LogSink&) { return true; }

Bytes publicKey() {
  const auto& key = gateIdentity()->signingPublicKey();
  return Bytes(key.begin(), key.end());
}

// A gate on a manual scheduler that records what it logs and what it hands on.
struct GateRig {
  FakeClock clock;
  ManualScheduler scheduler{clock};
  std::mutex mutex;
  std::vector<std::string> lines;
  std::vector<std::shared_ptr<vela::EncryptedTransport>> keyed;
  std::shared_ptr<HandshakeGate> gate;

  explicit GateRig(size_t totalCap = 64, size_t perAddressCap = 8) {
    HandshakeGate::Options options;
    options.identity = gateIdentity();
    options.scheduler = &scheduler;
    options.onLog = [this](const std::string& line) {
      std::lock_guard guard(mutex);
      lines.push_back(line);
    };
    options.onKeyed = [this](std::shared_ptr<vela::EncryptedTransport> wrapper) {
      std::lock_guard guard(mutex);
      keyed.push_back(std::move(wrapper));
    };
    options.totalCap = totalCap;
    options.perAddressCap = perAddressCap;
    gate = HandshakeGate::create(std::move(options));
  }
  std::vector<std::string> logged() {
    std::lock_guard guard(mutex);
    return lines;
  }
  size_t keyedCount() {
    std::lock_guard guard(mutex);
    return keyed.size();
  }
};

struct Peer {
  std::shared_ptr<MemorySessionTransport> host;
  std::shared_ptr<MemorySessionTransport> client;
};

Peer peerFrom(const std::string& remote) {
  Peer peer;
  peer.host = std::make_shared<MemorySessionTransport>(
      MemorySessionTransport::Options{vela::defaultMaxDatagramSize, remote, false});
  peer.client = std::make_shared<MemorySessionTransport>(
      MemorySessionTransport::Options{vela::defaultMaxDatagramSize, "192.0.2.20:47700", true});
  MemorySessionTransport::connect(peer.host, peer.client);
  return peer;
}

TEST(HandshakeGate, RefusesToStartWithoutTheSchedulerThatTimesItsWaitsAndItsLogBudget) {
  // Without one, waiting connections would never time out and the first line a peer provoked
  // (a displaced connection, a refused hello) would read through a null scheduler.
  HandshakeGate::Options options;
  options.identity = gateIdentity();
  EXPECT_THROW(HandshakeGate::create(std::move(options)), std::invalid_argument);
}

TEST(HandshakeGate, ConnectionsWaitingForTheirHandshakeStartNoThreadOfTheirOwn) {
  GateRig rig;
  rig.gate->waitIdle();  // the gate's one worker exists from here on
  const int64_t before = threadCount();
  std::vector<Peer> peers;
  for (int i = 0; i < 40; ++i) {
    peers.push_back(peerFrom("198.51.100." + std::to_string(i) + ":4000"));
    rig.gate->admit(peers.back().host);
    // Datagrams and reliable input before any key: dropped as they come, never queued.
    Bytes junk(300, 0xAB);
    peers.back().client->video().send(junk);
    peers.back().client->inputReliable().send(junk);
  }
  EXPECT_EQ(rig.gate->waitingCount(), 40u);
  EXPECT_EQ(threadCount(), before);
  for (auto& peer : peers) {
    EXPECT_EQ(peer.host->video().incoming().size(), 0u);
    EXPECT_EQ(peer.host->inputReliable().incoming().size(), 0u);
    EXPECT_FALSE(peer.host->isClosed());
  }
}

TEST(HandshakeGate, AValidHelloGetsTheKeyedWrapperAndTheClientsFirstSealedPacketsReachIt) {
  GateRig rig;
  Peer peer = peerFrom("192.168.1.7:5000");
  rig.gate->admit(peer.host);
  auto client = vela::EncryptedTransport::client(peer.client, publicKey(), trustAll, {});
  ASSERT_TRUE(client->isEncrypted());
  rig.gate->waitIdle();
  ASSERT_EQ(rig.keyedCount(), 1u);
  EXPECT_EQ(rig.gate->waitingCount(), 0u);
  auto wrapper = rig.keyed[0];
  EXPECT_TRUE(wrapper->isEncrypted());
  EXPECT_EQ(rig.logged().back(), vela::EncryptedTransport::keyedLine);

  Bytes hello{1, 2, 3};
  client->video().send(hello);
  auto got = wrapper->video().incoming().receiveUntil(SteadyClock::shared(), SteadyClock::shared().nowUs() + 5'000'000);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, hello);
  // Nothing but the gate has read the connection's streams: the timeout no longer applies to it.
  rig.scheduler.advanceBy(HandshakeGate::handshakeTimeoutUs + 1);
  rig.gate->waitIdle();
  EXPECT_FALSE(peer.host->isClosed());
  wrapper->close();
}

TEST(HandshakeGate, AHelloWithoutTheGateKeyIsRefusedInSilenceAndLoggedOnce) {
  GateRig rig;
  Peer peer = peerFrom("192.168.1.8:5000");
  rig.gate->admit(peer.host);
  for (int i = 0; i < 5; ++i) {
    auto handshake = vela::E2EClientHandshake::start(std::nullopt);
    ASSERT_TRUE(handshake);
    peer.client->control().send(handshake->helloPacket());
  }
  rig.gate->waitIdle();
  EXPECT_EQ(rig.keyedCount(), 0u);
  EXPECT_TRUE(peer.client->control().incoming().size() == 0) << "silence: no answer";
  auto lines = rig.logged();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "🔒 odrzucono nieautoryzowane połączenie (brak/zły klucz bramki) — cisza"),
            1);
  EXPECT_EQ(rig.gate->waitingCount(), 1u);
}

TEST(HandshakeGate, AConnectionWithoutAKeyIsClosedAfterTheTimeoutAndOneThatLeftIsForgotten) {
  GateRig rig;
  Peer silent = peerFrom("192.168.1.9:5000");
  Peer leaving = peerFrom("192.168.1.10:5000");
  rig.gate->admit(silent.host);
  rig.gate->admit(leaving.host);
  leaving.client->close();
  rig.gate->waitIdle();
  EXPECT_EQ(rig.gate->waitingCount(), 1u) << "a connection whose peer went is let go at once";

  rig.scheduler.advanceBy(HandshakeGate::handshakeTimeoutUs - 1);
  rig.gate->waitIdle();
  EXPECT_FALSE(silent.host->isClosed());
  rig.scheduler.advanceBy(1);
  rig.gate->waitIdle();
  EXPECT_TRUE(silent.host->isClosed());
  EXPECT_EQ(rig.gate->waitingCount(), 0u);
  EXPECT_EQ(rig.logged().back(),
            "⏱️ brak uzgodnienia klucza E2E w 8 s — zamykam wiszące połączenie: 192.168.1.9:5000");
}

TEST(HandshakeGate, WaitingConnectionsAreCappedPerAddressAndInTotalOldestFirst) {
  GateRig rig(/*totalCap=*/5, /*perAddressCap=*/2);
  std::vector<Peer> flood;
  for (int i = 0; i < 4; ++i) {
    flood.push_back(peerFrom("10.0.0.66:" + std::to_string(6000 + i)));
    rig.gate->admit(flood.back().host);
  }
  rig.gate->waitIdle();
  EXPECT_TRUE(flood[0].host->isClosed());
  EXPECT_TRUE(flood[1].host->isClosed());
  EXPECT_FALSE(flood[2].host->isClosed());
  EXPECT_FALSE(flood[3].host->isClosed());
  EXPECT_EQ(rig.logged().back(), "🚫 za dużo połączeń czekających na przyjęcie — zamykam najstarsze: 10.0.0.66:6001");

  std::vector<Peer> others;
  for (int i = 0; i < 4; ++i) {
    others.push_back(peerFrom("10.0.1." + std::to_string(i) + ":7000"));
    rig.gate->admit(others.back().host);
  }
  rig.gate->waitIdle();
  EXPECT_EQ(rig.gate->waitingCount(), 5u);
  EXPECT_TRUE(flood[2].host->isClosed()) << "the total cap takes the oldest of the address that holds the most";
  EXPECT_FALSE(others[3].host->isClosed());
}

// Addresses of one IPv6 /64, and relayed clients the relay named by such addresses, are one peer: its
// connections push out only its own; a relayed client the relay named otherwise keeps its place.
TEST(HandshakeGate, OneIpv6BlockAndOneRelayedClientEachCountAsOneAddress) {
  struct Row {
    const char* why;
    std::vector<std::string> flood;
    std::string other;
  };
  const Row rows[] = {
      {"addresses of one /64", {"[2001:db8:5:6::1]:5000", "[2001:db8:5:6::2]:5000", "[2001:db8:5:6:ff::3]:5000"},
       "[2001:db8:5:7::1]:5000"},
      {"relayed clients of one /64",
       {"relay/klient/2001:db8:5:6::1", "relay/klient/2001:db8:5:6::2", "relay/klient/2001:db8:5:6:ff::3"},
       "relay/klient/198.51.100.7"},
  };
  for (const Row& row : rows) {
    GateRig rig(/*totalCap=*/8, /*perAddressCap=*/2);
    Peer other = peerFrom(row.other);
    rig.gate->admit(other.host);
    std::vector<Peer> flood;
    for (const auto& remote : row.flood) {
      flood.push_back(peerFrom(remote));
      rig.gate->admit(flood.back().host);
    }
    rig.gate->waitIdle();
    EXPECT_TRUE(flood[0].host->isClosed()) << row.why << ": over the cap of its block";
    EXPECT_FALSE(flood[1].host->isClosed()) << row.why;
    EXPECT_FALSE(other.host->isClosed()) << row.why << ": another peer keeps its place";
    EXPECT_EQ(rig.gate->waitingCount(), 3u) << row.why;
  }
}

TEST(HandshakeGate, AFloodOfDisplacedConnectionsWritesAFewLinesAndACount) {
  GateRig rig(/*totalCap=*/4, /*perAddressCap=*/4);
  std::vector<Peer> flood;
  for (int i = 0; i < 100; ++i) {
    flood.push_back(peerFrom("10.0.2." + std::to_string(i) + ":6000"));
    rig.gate->admit(flood.back().host);
  }
  rig.gate->waitIdle();
  EXPECT_EQ(rig.logged().size(), HandshakeGate::peerLinesPerWindow) << "96 connections displaced";
  rig.clock.advanceUs(HandshakeGate::peerLineWindowUs);
  flood.push_back(peerFrom("10.0.3.1:6000"));
  rig.gate->admit(flood.back().host);
  rig.gate->waitIdle();
  EXPECT_EQ(rig.logged().back(), "🚫 za dużo połączeń czekających na przyjęcie — zamykam najstarsze: 10.0.2.96:6000"
                                 " (pominięto 84 podobnych)");
}

TEST(HandshakeGate, ALongBurstIsDrainedInTurnsWhileAnotherPeerGetsItsKey) {
  GateRig rig;
  Peer noisy = peerFrom("192.168.1.13:5000");
  const Bytes junk(64, 0x5A);
  for (size_t i = 0; i < 5 * HandshakeGate::drainBudget; ++i) {
    noisy.client->control().send(junk);
    noisy.client->audio().send(junk);
  }
  rig.gate->admit(noisy.host);
  Peer honest = peerFrom("192.168.1.14:5000");
  rig.gate->admit(honest.host);
  auto client = vela::EncryptedTransport::client(honest.client, publicKey(), trustAll, {});
  EXPECT_TRUE(client->isEncrypted());
  for (int turn = 0; turn < 20 && noisy.host->control().incoming().size() + noisy.host->audio().incoming().size() > 0;
       ++turn)
    rig.gate->waitIdle();
  EXPECT_EQ(noisy.host->control().incoming().size(), 0u);
  EXPECT_EQ(noisy.host->audio().incoming().size(), 0u);
  rig.gate->waitIdle();
  EXPECT_EQ(rig.keyedCount(), 1u);
  EXPECT_EQ(rig.gate->waitingCount(), 1u);
  client->close();
}

TEST(HandshakeGate, StoppingClosesWhatWaitsAndWhatComesLater) {
  GateRig rig;
  Peer waiting = peerFrom("192.168.1.11:5000");
  rig.gate->admit(waiting.host);
  rig.gate->stop();
  EXPECT_TRUE(waiting.host->isClosed());
  Peer late = peerFrom("192.168.1.12:5000");
  rig.gate->admit(late.host);
  rig.gate->waitIdle();
  EXPECT_TRUE(late.host->isClosed());
}

}  // namespace
}  // namespace tavlo
