// The listener with a proof check, as the host runs it: a connection gets its address's flows only once
// its first packet proves it a client of this host, so connections that never speak (from anywhere,
// the client's own address included) never take or push out a client's. Scripted with plain sockets.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol/flow_bind.hpp"
#include "tests/transport/loopback_host.hpp"
#include "tests/transport/raw_sockets.hpp"
#include "transport/host_listener.hpp"

namespace vela {
namespace {

using testkit::LoopbackHost;
using testkit::RawTcp;
using testkit::RawUdp;
using testkit::receiveWithin;
using testkit::waitUntil;
using namespace std::chrono_literals;

constexpr std::array<Slot, 3> allSlots{Slot::video, Slot::audio, Slot::inputUnreliable};
constexpr std::array<Channel, 3> slotChannels{Channel::video, Channel::audio, Channel::inputUnreliable};

const Bytes proof{'P', 'R', 'O', 'O', 'F', 0};
const Bytes badProof{'B', 'A', 'D', 'P', 'F', 0};
constexpr const char* refusal = "🔒 odrzucono (test)";

HostListener::FirstPacketVerdict checkProof(ByteView packet) {
  HostListener::FirstPacketVerdict verdict;
  verdict.proved = Bytes(packet.begin(), packet.end()) == proof;
  if (Bytes(packet.begin(), packet.end()) == badProof) verdict.refusalLine = refusal;
  return verdict;
}

// A client played by plain sockets from `ip`: connects, binds its three flows, then speaks.
struct Client {
  Client(LoopbackHost& host, std::string ip)
      : host(host), ip(std::move(ip)),
        udp{std::make_unique<RawUdp>(this->ip), std::make_unique<RawUdp>(this->ip), std::make_unique<RawUdp>(this->ip)} {}
  void connect() {
    const int64_t before = host.listener().snapshot().connectionsTaken;
    tcp = std::make_unique<RawTcp>(ip, "127.0.0.1", host.basePort());
    ASSERT_TRUE(tcp->connected());
    ASSERT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().connectionsTaken > before; }));
  }
  void bindAll() {
    const int64_t before = host.listener().snapshot().flowsTaken;
    for (size_t i = 0; i < allSlots.size(); ++i)
      udp[i]->sendTo("127.0.0.1", uint16_t(host.basePort() + 1 + i), flowBindDatagram(slotChannels[i]));
    ASSERT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().flowsTaken >= before + 3; }));
  }
  LoopbackHost& host;
  const std::string ip;
  std::unique_ptr<RawTcp> tcp;
  std::array<std::unique_ptr<RawUdp>, 3> udp;
};

// `count` connections from `ip` that never say anything, taken by the listener.
std::vector<std::unique_ptr<RawTcp>> silentConnections(LoopbackHost& host, const std::string& ip, int count) {
  std::vector<std::unique_ptr<RawTcp>> connections;
  const int64_t before = host.listener().snapshot().connectionsTaken;
  for (int i = 0; i < count; ++i) connections.push_back(std::make_unique<RawTcp>(ip, "127.0.0.1", host.basePort()));
  EXPECT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().connectionsTaken >= before + count; }));
  return connections;
}

// The transport was made of `client`'s own flows: what it sends on each reaches the client's socket.
void expectFlowsOf(Client& client, DirectSessionTransport& transport) {
  for (size_t i = 0; i < allSlots.size(); ++i) {
    DatagramFlow& flow = i == 0 ? transport.video() : i == 1 ? transport.audio() : transport.inputUnreliable();
    Bytes out{uint8_t(i), 7};
    flow.send(out);
    EXPECT_EQ(client.udp[i]->receive(), out) << slotName(allSlots[i]);
  }
}

struct ProvedListener : ::testing::Test {
  ProvedListener() : scheduler(clock), host(&scheduler) {}
  void SetUp() override {
    host.listener().setProofCheck(checkProof);
    host.listener().setWaitingRoom(room);
    ASSERT_TRUE(host.start());
  }
  void advanceMs(uint64_t ms) {
    scheduler.advanceBy(ms * 1000);
    host.listener().waitIdle();
  }
  size_t room = 0;
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler;
  LoopbackHost host;
};

TEST_F(ProvedListener, FlowsWaitUntilAConnectionOfTheirAddressProvesItselfAndThenJoinIt) {
  Client client(host, "127.0.0.1");
  client.connect();
  client.bindAll();
  auto s = host.listener().snapshot();
  EXPECT_EQ(s.unprovedConnections, 1u);
  EXPECT_EQ(s.waitingFlows, 3u) << "the flows wait by themselves, not with a connection that said nothing";
  EXPECT_EQ(host.nextSession(0ms), nullptr);

  // As a real client: an empty frame first (consumed by the framing), then its hello.
  client.tcp->writeFrame({});
  client.tcp->writeFrame(proof);
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  EXPECT_EQ(transport->remoteDescription(), client.tcp->description());
  EXPECT_EQ(receiveWithin(transport->control().incoming()), proof) << "the proof is the stream's first packet";
  Bytes next{1, 2, 3, 4, 5, 0};
  client.tcp->writeFrame(next);
  EXPECT_EQ(receiveWithin(transport->control().incoming()), next);
  expectFlowsOf(client, *transport);
  s = host.listener().snapshot();
  EXPECT_EQ(s.pendingConnections, 0u);
  EXPECT_EQ(s.waitingFlows, 0u);
}

TEST_F(ProvedListener, AProvedConnectionTakesTheFlowsThatComeAfterItsProof) {
  Client client(host, "127.0.0.1");
  client.connect();
  client.tcp->writeFrame(proof);
  ASSERT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().unprovedConnections == 0; }));
  EXPECT_EQ(host.listener().snapshot().pendingConnections, 1u);
  client.bindAll();
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  expectFlowsOf(client, *transport);
}

// Neighbours behind the client's own address (one public IPv4 of a household or a carrier): their
// connections, before and after the client's, never speak and never get its flows.
TEST_F(ProvedListener, SilentConnectionsOfTheClientsOwnAddressNeverTakeItsFlows) {
  auto before = silentConnections(host, "127.0.0.1", 10);
  Client client(host, "127.0.0.1");
  client.connect();
  auto after = silentConnections(host, "127.0.0.1", 10);
  client.bindAll();
  auto more = silentConnections(host, "127.0.0.1", 10);
  advanceMs(HostListener::lateChildDelayUs / 1000);
  client.tcp->writeFrame(proof);
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  EXPECT_EQ(transport->remoteDescription(), client.tcp->description());
  expectFlowsOf(client, *transport);
  EXPECT_EQ(host.listener().snapshot().unprovedConnections, 30u);
  for (auto& silent : after) EXPECT_FALSE(silent->closedByPeer(0ms));
}

// Flows that came before the connection are an earlier attempt's: a client opens its flows only once
// its connection is up. They are closed when the connection proves itself, not given to it.
TEST_F(ProvedListener, FlowsOlderThanTheProvingConnectionAreClosedNotTaken) {
  Client stale(host, "127.0.0.1");
  stale.bindAll();
  Client client(host, "127.0.0.1");
  client.connect();
  client.tcp->writeFrame(proof);
  ASSERT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().waitingFlows == 0; }));
  EXPECT_EQ(host.nextSession(0ms), nullptr);
  client.bindAll();
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  expectFlowsOf(client, *transport);
}

TEST_F(ProvedListener, AConnectionWhoseFirstPacketDoesNotProveItIsClosedAtOnce) {
  struct Row {
    Bytes bytes;
    bool logged;
    const char* why;
  };
  const Row rows[] = {
      {testkit::muxFrame(badProof), true, "refused by the check: its line is logged"},
      {testkit::muxFrame(Bytes(40, 0x11)), false, "any other packet"},
      {Bytes{0x01, 0x04, 0, 0}, false, "a length above any first packet, before its bytes"},
      {Bytes{'P', 'R'}, false, "part of a length, then the peer closes"},
      {Bytes(4 * (HostListener::maxFirstFrameBytes / 2 + 1), 0), false, "empty frames without end"},
  };
  for (const Row& row : rows) {
    Client client(host, "127.0.0.1");
    client.connect();
    client.bindAll();
    client.tcp->write(row.bytes);
    if (row.bytes.size() == 2) client.tcp->closeWrite();
    EXPECT_TRUE(client.tcp->closedByPeer()) << row.why;
    EXPECT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().unprovedConnections == 0; }))
        << row.why;
    EXPECT_EQ(host.nextSession(0ms), nullptr) << row.why;
  }
  EXPECT_EQ(host.log.count(refusal), 1u);
}

TEST_F(ProvedListener, ASilentConnectionIsClosedAfterEightSecondsAndItsAddresssFlowsAfterAsLong) {
  Client client(host, "127.0.0.1");
  client.connect();
  client.bindAll();
  advanceMs(HostListener::pendingConnectionTimeoutUs / 1000 - 1);
  EXPECT_FALSE(client.tcp->closedByPeer(50ms));
  advanceMs(1);
  EXPECT_TRUE(client.tcp->closedByPeer());
  EXPECT_TRUE(host.log.waitFor("nie przedstawiło się w 8 s — zamykam"));
  advanceMs(HostListener::pendingConnectionTimeoutUs / 1000);
  auto s = host.listener().snapshot();
  EXPECT_EQ(s.pendingConnections, 0u);
  EXPECT_EQ(s.waitingFlows, 0u) << "flows nobody took are not kept for ever";
  EXPECT_EQ(s.scheduledChecks, 0u);
}

// A client reconnecting while a session of its address is live: its new flows are not taken for the
// live session's moved ones while its own connection, which came before them, has still to speak.
TEST_F(ProvedListener, AClientsFlowsWaitForItsConnectionWhileASessionOfItsAddressIsLive) {
  Client first(host, "127.0.0.1");
  first.connect();
  first.bindAll();
  first.tcp->writeFrame(proof);
  auto live = host.nextSession();
  ASSERT_TRUE(live);
  live->inputBox()->setAdoptionVerifier([](ByteView) { return true; });
  Client second(host, "127.0.0.1");
  second.connect();
  second.bindAll();
  advanceMs(3 * HostListener::lateChildDelayUs / 1000);
  EXPECT_EQ(live->inputBox()->candidateCount(), 0u);
  EXPECT_EQ(host.listener().snapshot().waitingFlows, 3u);
  second.tcp->writeFrame(proof);
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  expectFlowsOf(second, *transport);
}

struct SmallRoom : ProvedListener {
  SmallRoom() { room = 16; }
};

// Addresses of the client's /24 and of another connecting without a word fill the room; what goes is
// theirs, oldest first, never the connection of a client that holds fewer.
TEST_F(SmallRoom, AFloodFromManyAddressesPushesOutItsOwnConnectionsNeverAClients) {
  Client client(host, "127.0.0.1");
  client.connect();
  std::vector<std::unique_ptr<RawTcp>> flood;
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 4; ++i) {
      for (const char* block : {"127.0.0.", "127.0.9."}) {
        auto more = silentConnections(host, block + std::to_string(i + 2), 1);
        flood.push_back(std::move(more.front()));
      }
    }
  }
  auto s = host.listener().snapshot();
  EXPECT_EQ(s.waitingRoom, 16u);
  EXPECT_EQ(s.unprovedConnections, 16u);
  EXPECT_TRUE(flood.front()->closedByPeer()) << "the oldest of the flood went";
  EXPECT_FALSE(client.tcp->closedByPeer(0ms));
  client.bindAll();
  client.tcp->writeFrame(proof);
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  expectFlowsOf(client, *transport);
}

// A connection that proved itself waits for its flows apart from the room: however full the room
// gets, it is never pushed out by connections that did not.
TEST_F(SmallRoom, AProvedConnectionIsNeverPushedOutByOnesThatHaveNot) {
  Client client(host, "127.0.0.1");
  client.connect();
  client.tcp->writeFrame(proof);
  ASSERT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().unprovedConnections == 0; }));
  auto flood = silentConnections(host, "127.0.0.1", 40);
  EXPECT_FALSE(client.tcp->closedByPeer(0ms));
  client.bindAll();
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  expectFlowsOf(client, *transport);
}

TEST(HostListenerRoom, IsAQuarterOfTheDescriptorLimitWithinBounds) {
  EXPECT_EQ(HostListener::waitingRoomFor(20'000), 5'000u);
  EXPECT_EQ(HostListener::waitingRoomFor(1'024), 256u);
  EXPECT_EQ(HostListener::waitingRoomFor(0), 64u) << "an unreadable limit still leaves a room";
  EXPECT_EQ(HostListener::waitingRoomFor(1'048'576), 16'384u) << "a huge limit does not make a huge room";
}

}  // namespace
}  // namespace vela
