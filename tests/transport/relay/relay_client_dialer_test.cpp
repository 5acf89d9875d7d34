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

struct DialerFixture {
  ScriptedRelay relay;
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler{clock};
  TestIdentity identity;
  RelayClientDialer dialer{RelayClientDialer::Params{relay.service(), &scheduler}};
};

TEST(RelayClientDialer, ProbeAsksWithTheGateMacAndReportsTheAnswer) {
  DialerFixture f;
  auto probe = std::async(std::launch::async, [&] { return f.dialer.probe(f.identity.hostID, f.identity.sigPub(), 3000); });
  auto peer = f.relay.accept();
  ASSERT_TRUE(peer);
  peer->write("CH AAAA\n");
  EXPECT_EQ(peer->readLine(), "PE " + f.identity.hostID + " " + Relay::gateMAC(f.identity.hostID, f.identity.sigPub()));
  peer->write("A 1 203.0.113.5:47700 1 0\n");
  EXPECT_EQ(probe.get(), (RelayProbeResult{true, "203.0.113.5:47700", true, false}));
  EXPECT_TRUE(peer->closedByPeer());  // the probe's connection lives only for the probe
}

TEST(RelayClientDialer, ProbeOfAServiceThatNeverAnswersFailsAtItsTimeLimit) {
  DialerFixture f;
  auto probe = std::async(std::launch::async, [&] { return f.dialer.probe(f.identity.hostID, f.identity.sigPub(), 2500); });
  auto peer = f.relay.accept();
  ASSERT_TRUE(peer);
  while (f.scheduler.pendingCount() == 0) std::this_thread::yield();
  f.scheduler.advanceBy(2'499'000);
  EXPECT_EQ(probe.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
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
    auto connect = std::async(std::launch::async, [&] { return f.dialer.connect(f.identity.hostID, f.identity.sigPub()); });
    auto peer = f.relay.accept();
    ASSERT_TRUE(peer) << row.why;
    peer->write("CH AAAA\n");
    EXPECT_EQ(peer->readLine(), "C " + f.identity.hostID + " " + Relay::gateMAC(f.identity.hostID, f.identity.sigPub()))
        << row.why;
    peer->write(row.answer);
    try {
      connect.get();
      ADD_FAILURE() << row.why << ": connected";
    } catch (const TransportError& error) {
      EXPECT_EQ(error, TransportError::badEndpoint()) << row.why;
    }
    EXPECT_TRUE(peer->closedByPeer()) << row.why;
  }
}

TEST(RelayClientDialer, ConnectFailsNotReadyWhenTheServiceIsUnreachable) {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  RelayService nowhere;
  {
    ScriptedRelay closed;  // a port that was free a moment ago
    nowhere = closed.service();
  }
  RelayClientDialer dialer(RelayClientDialer::Params{nowhere, &scheduler});
  TestIdentity identity;
  try {
    dialer.connect(identity.hostID, identity.sigPub());
    FAIL() << "connected";
  } catch (const TransportError& error) {
    EXPECT_EQ(error, TransportError::notReady());
  }
}

TEST(RelayClientDialer, ConnectedSessionTakesTheHostsBytesThatCameWithTheSessionLine) {
  DialerFixture f;
  auto connect = std::async(std::launch::async, [&] { return f.dialer.connect(f.identity.hostID, f.identity.sigPub()); });
  auto peer = f.relay.accept();
  ASSERT_TRUE(peer);
  peer->write("CH AAAA\n");
  ASSERT_TRUE(peer->readLine());
  Bytes answer = tavlo::toBytes("S 000102030405060708090a0b0c0d0e0f\n");
  const uint8_t frame[] = {16, 0, 0, 0, 'T', 'L', 'K', '2', 1, 0, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  answer.insert(answer.end(), std::begin(frame), std::end(frame));
  peer->write(answer);
  auto transport = connect.get();
  ASSERT_TRUE(transport);
  EXPECT_EQ(transport->remoteDescription(), "relay/3F2504E0");
  EXPECT_EQ(transport->remoteDescription().size(), 14u);
  auto first = receiveWithin(transport->control().incoming());
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, Bytes(std::begin(frame) + 4, std::end(frame)));
  transport->close();
  EXPECT_TRUE(peer->closedByPeer());
}

}  // namespace
}  // namespace vela
