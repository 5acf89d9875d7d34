#include "transport/relay_client_dialer.hpp"

#include <gtest/gtest.h>

#include <future>

#include "tests/transport/relay/relay_test_kit.hpp"
#include "transport/transport_error.hpp"

namespace vela {
namespace {

using namespace relaytest;

TEST(RelayClientDialer, ReadsTheProbeAnswer) {
  struct Row {
    const char* why;
    std::string line;
    std::optional<RelayProbeResult> result;
  };
  const Row rows[] = {
      {"no endpoint, NAT works, no fifth piece", "A 1 - 1", RelayProbeResult{true, std::nullopt, true, true}},
      {"an endpoint, both flags off", "A 1 203.0.113.5:47700 0 0",
       RelayProbeResult{true, "203.0.113.5:47700", false, false}},
      {"both flags on", "A 1 [2001:db8::1]:47700 1 1", RelayProbeResult{true, "[2001:db8::1]:47700", true, true}},
      {"only the status", "A 1", RelayProbeResult{true, std::nullopt, false, true}},
      {"a flag that is not 1 counts as off", "A 1 - yes 2", RelayProbeResult{true, std::nullopt, false, false}},
      {"repeated spaces are dropped", "A 1  -  1", RelayProbeResult{true, std::nullopt, true, true}},
      {"not registered", "A 0", std::nullopt},
      {"another answer", "S 00", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(RelayClientDialer::parseProbeAnswer(row.line), row.result) << row.why;
}

struct DialerFixture : ScriptedWorld {
  std::future<RelayProbeResult> probe(int timeLimitMs) {
    return std::async(std::launch::async, [this, timeLimitMs] { return dialer.probe(identity.hostID, identity.sigPub(), timeLimitMs); });
  }
  std::future<std::shared_ptr<SessionTransport>> connect() {
    return std::async(std::launch::async, [this] { return dialer.connect(identity.hostID, identity.sigPub()); });
  }
  // Accepts the dialer's connection and greets it with a challenge, as the service greets everyone.
  std::unique_ptr<ScriptedPeer> greeted() {
    auto peer = relay.accept();
    if (peer) peer->write("CH AAAA\n");
    return peer;
  }
  // The host identifier and gate MAC that the dialer's request carries.
  std::string gate() const { return identity.hostID + " " + Relay::gateMAC(identity.hostID, identity.sigPub()); }
};

TEST(RelayClientDialer, ProbeAsksWithTheGateMacAndReportsTheAnswer) {
  DialerFixture f;
  auto probe = f.probe(3000);
  auto peer = f.greeted();
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->readLine(), "PE " + f.gate());
  peer->write("A 1 203.0.113.5:47700 1 0\n");
  EXPECT_EQ(probe.get(), (RelayProbeResult{true, "203.0.113.5:47700", true, false}));
  EXPECT_TRUE(peer->closedByPeer());  // the probe's connection lives only for the probe
}

TEST(RelayClientDialer, ProbeOfAServiceThatNeverAnswersFailsAtItsTimeLimit) {
  DialerFixture f;
  auto probe = f.probe(2500);
  auto peer = f.relay.accept();
  ASSERT_TRUE(peer);
  while (f.scheduler.pendingCount() == 0) std::this_thread::yield();
  f.scheduler.advanceBy(2'499'000);
  EXPECT_EQ(probe.wait_for(20ms), std::future_status::timeout);
  f.scheduler.advanceBy(1'000);
  EXPECT_EQ(probe.get(), RelayProbeResult{});
  EXPECT_TRUE(peer->closedByPeer());
}

TEST(RelayClientDialer, ConnectRefusesAnAnswerThatIsNotASixteenByteToken) {
  struct Row {
    const char* why;
    std::string answer;
  };
  const Row rows[] = {
      {"15 bytes", "S 000102030405060708090a0b0c0d0e\n"},
      {"refused", "S -\n"},
      {"another keyword", "A 1\n"},
  };
  for (const Row& row : rows) {
    DialerFixture f;
    auto connect = f.connect();
    auto peer = f.greeted();
    ASSERT_TRUE(peer) << row.why;
    EXPECT_EQ(peer->readLine(), "C " + f.gate()) << row.why;
    peer->write(row.answer);
    EXPECT_EQ(testkit::transportErrorOf([&] { connect.get(); }), TransportError::badEndpoint()) << row.why;
    EXPECT_TRUE(peer->closedByPeer()) << row.why;
  }
}

TEST(RelayClientDialer, ConnectFailsNotReadyWhenTheServiceIsUnreachable) {
  RelayService nowhere = ScriptedRelay().service();  // ports that were free a moment ago
  RelayWorld world(nowhere);
  EXPECT_EQ(testkit::transportErrorOf([&] { world.connectPair(); }), TransportError::notReady());
}

TEST(RelayClientDialer, ConnectedSessionTakesTheHostsBytesThatCameWithTheSessionLine) {
  DialerFixture f;
  auto connect = f.connect();
  auto peer = f.greeted();
  ASSERT_TRUE(peer && peer->readLine());
  const uint8_t frame[] = {16, 0, 0, 0, 'T', 'L', 'K', '2', 1, 0, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes answer = tavlo::toBytes("S 000102030405060708090a0b0c0d0e0f\n");
  answer.insert(answer.end(), std::begin(frame), std::end(frame));
  peer->write(answer);
  auto transport = connect.get();
  ASSERT_TRUE(transport);
  EXPECT_EQ(transport->remoteDescription(), "relay/3F2504E0");
  EXPECT_EQ(transport->remoteDescription().size(), 14u);
  EXPECT_EQ(receiveWithin(transport->control().incoming()), Bytes(std::begin(frame) + 4, std::end(frame)));
  transport->close();
  EXPECT_TRUE(peer->closedByPeer());
}

}  // namespace
}  // namespace vela
