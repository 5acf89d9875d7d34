// What a peer that has proved nothing can make the listener keep: it sends junk from ever new source
// ports while a session is live, and the listener holds one waiting flow per slot, with its newest
// datagrams only, whatever the number of ports; the session's end frees its candidates.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/testkit/heap_usage.hpp"
#include "tests/transport/loopback_host.hpp"
#include "tests/transport/raw_sockets.hpp"
#include "transport/host_listener.hpp"

namespace vela {
namespace {

using testkit::RawTcp;
using testkit::RawUdp;
using testkit::receiveWithin;
using testkit::waitUntil;

constexpr size_t video = static_cast<size_t>(Slot::video);

Bytes sealed(uint8_t tag) { return {'S', 'E', 'A', 'L', tag}; }
bool acceptsSealed(ByteView d) { return d.size() == 5 && d[0] == 'S' && d[3] == 'L'; }

int64_t heapNow() { return static_cast<int64_t>(tavlo::testkit::heapBytesInUse()); }

struct UnprovenSources : ::testing::Test {
  UnprovenSources() : scheduler(clock), host(&scheduler) {}
  void SetUp() override {
    ASSERT_TRUE(host.start());
    pair = testkit::connectPair(host);
    ASSERT_TRUE(pair.host);
  }
  void TearDown() override {
    if (pair.client) pair.client->close();
    if (pair.host) pair.host->close();
  }
  // Sends `datagrams` to the video port from `socket` and waits until the listener holds that source
  // as the slot's waiting flow with `held` datagrams.
  void sendFrom(RawUdp& socket, const std::vector<Bytes>& datagrams, size_t held) {
    for (const Bytes& datagram : datagrams) socket.sendTo("127.0.0.1", uint16_t(host.basePort() + 1), datagram);
    ASSERT_TRUE(waitUntil(host.listener(), [&] {
      auto s = host.listener().snapshot();
      return s.unpairedFlowRemotes[video] == socket.description() && s.unpairedFlowHeld[video] == held;
    })) << "waiting: " << host.listener().snapshot().unpairedFlowRemotes[video] << " holding "
        << host.listener().snapshot().unpairedFlowHeld[video];
  }
  void advanceMs(uint64_t ms) {
    scheduler.advanceBy(ms * 1000);
    host.listener().waitIdle();
  }

  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler;
  testkit::LoopbackHost host;
  testkit::ConnectedPair pair;
};

TEST_F(UnprovenSources, EverNewSourcePortsLeaveOneWaitingFlowBehindAndTheSessionsEndFreesItsCandidates) {
  pair.host->videoBox()->setAdoptionVerifier([](ByteView) { return false; });
  const std::vector<Bytes> junk(16, Bytes(1200, 0x5A));
  const int64_t before = heapNow();
  // 100 sources × 16 × 1,200 bytes: nearly 2 MB if every source's flow were kept until its check.
  // Every socket stays open to the end, so that no source can be given the port of the one before
  // it (whose flow would then simply hold more) and each really is a new source.
  std::vector<std::unique_ptr<RawUdp>> sources;
  for (int i = 0; i < 100; ++i) {
    sources.push_back(std::make_unique<RawUdp>());
    sendFrom(*sources.back(), junk, junk.size());
  }
  const auto s = host.listener().snapshot();
  EXPECT_LE(s.scheduledChecks, 2u) << "the check of the one waiting flow (and of the session's connection)";
  EXPECT_LT(heapNow() - before, 256 * 1024) << "replaced flows are gone with what they held";

  advanceMs(300);
  EXPECT_EQ(pair.host->videoBox()->candidateCount(), 1u) << "the last source waits as a candidate";
  EXPECT_EQ(host.listener().snapshot().unpairedFlowHeld[video], 0u);
  pair.host->close();
  host.listener().waitIdle();
  EXPECT_EQ(pair.host->videoBox()->candidateCount(), 0u);
  EXPECT_LT(heapNow() - before, 64 * 1024) << "the session's end let go of its candidate";
}

// Connections that never bring their flows: past the cap of their address each new one closes the
// oldest, and its check goes with it, so the listener keeps a few waiting connections and checks, not
// one per connection.
TEST_F(UnprovenSources, EverNewConnectionsLeaveTheirAddressesCapOfChecksBehind) {
  const int64_t before = host.listener().snapshot().connectionsTaken;
  std::vector<std::unique_ptr<RawTcp>> connections;
  for (int i = 0; i < 40; ++i) {
    connections.push_back(std::make_unique<RawTcp>("127.0.0.1", "127.0.0.1", host.basePort()));
    ASSERT_TRUE(connections.back()->connected());
  }
  ASSERT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().connectionsTaken == before + 40; }));
  EXPECT_EQ(host.listener().snapshot().pendingConnections, HostListener::maxPendingConnectionsPerAddress);
  EXPECT_EQ(host.listener().snapshot().scheduledChecks, HostListener::maxPendingConnectionsPerAddress)
      << "the checks of the newest connections only";
  const size_t oldest = 40 - HostListener::maxPendingConnectionsPerAddress;
  for (size_t i = 0; i < connections.size(); ++i)
    EXPECT_EQ(connections[i]->closedByPeer(std::chrono::milliseconds(i < oldest ? 5000 : 0)), i < oldest) << i;
  advanceMs(HostListener::pendingConnectionTimeoutUs / 1000);
  EXPECT_EQ(host.listener().snapshot().scheduledChecks, 0u);
  EXPECT_EQ(host.listener().snapshot().pendingConnections, 0u) << "the newest connections expired";
}

// A connection cancels the flows that waited before it, and their checks go with them.
TEST_F(UnprovenSources, AConnectionTakesTheChecksOfTheFlowsItCancelsWithThem) {
  RawUdp early;
  sendFrom(early, {Bytes(8, 0x5A)}, 1);
  ASSERT_EQ(host.listener().snapshot().scheduledChecks, 1u) << "the waiting flow's check";
  const int64_t before = host.listener().snapshot().connectionsTaken;
  RawTcp connection("127.0.0.1", "127.0.0.1", host.basePort());
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().connectionsTaken == before + 1; }));
  EXPECT_EQ(host.listener().snapshot().unpairedFlowHeld[video], 0u) << "the flow was cancelled";
  EXPECT_EQ(host.listener().snapshot().scheduledChecks, 1u) << "the connection's check only";
}

TEST_F(UnprovenSources, AWaitingFlowKeepsItsNewestDatagramsAndTheFirstOfThemThatProvesIsDelivered) {
  pair.host->videoBox()->setAdoptionVerifier(acceptsSealed);
  std::vector<Bytes> datagrams;
  for (uint8_t tag = 0; tag < 100; ++tag) datagrams.push_back(sealed(tag));
  RawUdp moved;
  sendFrom(moved, datagrams, HostListener::unprovenFlowHoldLimit);
  clock.advanceUs(RebindableUDPFlow::primarySilenceUs);  // the session's own video source fell silent
  advanceMs(300);
  // The client's bind datagram came first on the session's own flow; then the moved source's proof.
  std::optional<Bytes> first;
  while ((first = receiveWithin(pair.host->video().incoming())) && (*first)[0] != 'S') {
  }
  const uint8_t oldestKept = uint8_t(100 - HostListener::unprovenFlowHoldLimit);
  EXPECT_EQ(first, sealed(oldestKept)) << "the oldest were dropped first";
  EXPECT_EQ(receiveWithin(pair.host->video().incoming()), sealed(oldestKept + 1));
  EXPECT_EQ(pair.host->videoBox()->adoptions(), 1);
}

}  // namespace
}  // namespace vela
