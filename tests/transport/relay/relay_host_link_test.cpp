#include "transport/relay_host_link.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>

#include "platform/runtime/base64.hpp"
#include "platform/runtime/random.hpp"
#include "tests/transport/relay/relay_test_kit.hpp"
#include "transport/relay_text.hpp"

namespace vela {
namespace {

using namespace relaytest;
using testkit::joined;
using testkit::muxFrame;

std::string challengeLine(ByteView challenge) { return "CH " + tavlo::base64Encode(challenge) + "\n"; }

struct HostFixture : ScriptedWorld {
  // Accepts the registration connection and writes `line` as the service's first line.
  std::unique_ptr<ScriptedPeer> greet(const std::string& line) {
    auto peer = relay.accept();
    if (peer) peer->write(line);
    return peer;
  }
  // A registration that the service accepted; the host's "H", "EP" and "RD" lines are read.
  std::unique_ptr<ScriptedPeer> registered() {
    auto peer = greet(challengeLine(tavlo::SystemRandom::shared().bytes(32)));
    if (!peer || !peer->readLine() || peer->readLine() != "EP -" || peer->readLine() != "RD 1") return nullptr;
    peer->write("OK\n");
    return peer;
  }
};

TEST(RelayHostLink, RegistersWithASignatureOfTheChallengeThenPublishes) {
  HostFixture f;
  f.link->start();
  Bytes challenge = tavlo::SystemRandom::shared().bytes(32);
  auto peer = f.greet(challengeLine(challenge));
  ASSERT_TRUE(peer);
  auto h = peer->readLine();
  ASSERT_TRUE(h);
  size_t lastSpace = h->rfind(' ');
  EXPECT_EQ(h->substr(0, lastSpace), "H " + f.identity.hostID + " " + tavlo::base64Encode(f.identity.sigPub()));
  std::string signature = h->substr(lastSpace + 1);
  EXPECT_EQ(signature.size(), 88u);
  EXPECT_TRUE(tavlo::crypto::isValidEd25519Signature(f.identity.sigPub(), challenge, *tavlo::base64Decode(signature)));
  EXPECT_EQ(peer->readLine(), "EP -");
  EXPECT_EQ(peer->readLine(), "RD 1");
  EXPECT_FALSE(f.hostLog.waitFor("zarejestrowany", 1, 100ms)) << "registered before the service answered";
  peer->write("OK\n");
  EXPECT_TRUE(f.hostLog.waitFor("🛰 relay: zarejestrowany jako 3F2504E0… (127.0.0.1)"));

  // While registered, publishing sends at once.
  f.link->publishEndpoint("203.0.113.5:47700");
  EXPECT_EQ(peer->readLine(), "EP 203.0.113.5:47700");
  f.link->publishRelayData(false);
  EXPECT_EQ(peer->readLine(), "RD 0");
  f.link->publishEndpoint("-");
  EXPECT_EQ(peer->readLine(), "EP -");
}

TEST(RelayHostLink, ValuesPublishedBeforeRegisteringGoIntoTheRegistration) {
  HostFixture f;
  f.link->publishRelayData(false);
  f.link->publishEndpoint("198.51.100.7:47700");
  f.link->start();
  auto peer = f.greet(challengeLine(Bytes(32, 7)));
  ASSERT_TRUE(peer && peer->readLine());
  EXPECT_EQ(peer->readLine(), "EP 198.51.100.7:47700");
  EXPECT_EQ(peer->readLine(), "RD 0");
  EXPECT_FALSE(peer->readLine(100ms));  // nothing more
}

TEST(RelayHostLink, AValuePublishedWhileRegisteringIsTheLastOneTheServiceHears) {
  // The publish lands while the registration sends its own first lines; it must not be overtaken by
  // the older value the registration read before it.
  for (int attempt = 0; attempt < 5; ++attempt) {
    HostFixture f;
    f.link->start();
    auto peer = f.greet("CH AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n");
    ASSERT_TRUE(peer);
    peer->write("OK\n");
    ASSERT_TRUE(f.hostLog.waitFor("zarejestrowany jako"));
    f.link->publishRelayData(false);
    std::string lastRelayData;
    while (auto line = peer->readLine(30ms))
      if (line->starts_with("RD ")) lastRelayData = *line;
    EXPECT_EQ(lastRelayData, "RD 0") << "attempt " << attempt;
  }
}

TEST(RelayHostLink, AnswersNoFirstLineThatIsNotASignableChallengeAndRetries) {
  struct Row {
    const char* why;
    std::string line;
    bool refusedToSign;
  };
  Bytes labelled = tavlo::toBytes("TL2-E2E-v1");
  labelled.resize(64, 0x33);
  const Row rows[] = {
      {"a challenge of a handshake transcript's length could be one", challengeLine(tavlo::SystemRandom::shared().bytes(90)), true},
      {"a challenge beginning with the handshake label could be a transcript", challengeLine(labelled), true},
      {"\"CH\" and nothing else is trimmed to \"CH\", without the prefix", "CH \n", false},
      {"not Base64", "CH !!!!\n", false},
      {"a carriage return spoils the Base64", "CH YWJj\r\n", false},
      {"another keyword", "HELLO YWJj\n", false},
  };
  for (const Row& row : rows) {
    HostFixture f;
    f.link->start();
    auto peer = f.greet(row.line);
    ASSERT_TRUE(peer) << row.why;
    EXPECT_FALSE(peer->readLine(300ms)) << row.why;
    EXPECT_TRUE(peer->closedByPeer()) << row.why;
    EXPECT_TRUE(f.hostLog.waitFor("rejestracja padła (no challenge that can be signed) — ponawiam za 1s")) << row.why;
    EXPECT_EQ(f.hostLog.count("odmowa podpisu"), row.refusedToSign ? 1u : 0u) << row.why;
    // Ordinary challenges are still signed: the next registration succeeds.
    f.scheduler.advanceBy(1'000'000);
    EXPECT_TRUE(f.registered()) << row.why;
  }
}

TEST(RelayHostLink, ReportsEachRegistrationAndEachFailure) {
  HostFixture f;
  std::mutex mutex;
  std::vector<bool> reports;
  f.link->setOnRegistration([&](bool registered) {
    std::lock_guard guard(mutex);
    reports.push_back(registered);
  });
  auto reported = [&] {
    std::lock_guard guard(mutex);
    return reports;
  };
  f.link->start();
  auto peer = f.registered();
  ASSERT_TRUE(peer);
  peer->close();  // the service drops the host: the link is down until it registers again
  ASSERT_TRUE(f.hostLog.waitFor("rejestracja padła"));
  EXPECT_EQ(reported(), (std::vector<bool>{true, false}));
  // The retry is dropped before any challenge.
  f.scheduler.advanceBy(1'000'000);
  auto retry = f.relay.accept();
  ASSERT_TRUE(retry);
  retry->close();
  ASSERT_TRUE(f.hostLog.waitFor("rejestracja padła", 2));
  EXPECT_EQ(reported(), (std::vector<bool>{true, false, false}));
}

TEST(RelayHostLink, RetriesAfterOneTwoFourEightSixteenThenThirtySeconds) {
  HostFixture f;
  f.link->start();
  const uint64_t expected[] = {1, 2, 4, 8, 16, 30, 30};
  for (size_t attempt = 0; attempt < std::size(expected); ++attempt) {
    // The service answers at once and drops the host once it has registered.
    auto peer = f.registered();
    ASSERT_TRUE(peer) << attempt;
    peer->close();
    std::string wait = std::to_string(expected[attempt]);
    // The line connection ended: the log says so, not merely the kind of the error.
    ASSERT_TRUE(f.hostLog.waitFor("rejestracja padła (the peer closed the line connection)", attempt + 1)) << attempt;
    EXPECT_TRUE(f.hostLog.lines().back().ends_with("— ponawiam za " + wait + "s")) << f.hostLog.lines().back();
    ASSERT_EQ(f.scheduler.pendingCount(), 1u);  // the wait and nothing else
    f.scheduler.advanceBy(expected[attempt] * 1'000'000 - 1'000);
    EXPECT_EQ(f.scheduler.pendingCount(), 1u) << "retried before " << wait << " s";
    EXPECT_FALSE(f.relay.tcp.hasWaiting());
    f.scheduler.advanceBy(1'000);
  }
}

TEST(RelayHostLink, GivesUpOnAServiceThatSendsNoChallengeWithinSixSeconds) {
  HostFixture f;
  f.link->start();
  auto peer = f.relay.accept();
  ASSERT_TRUE(peer);
  // The limit covers both the readiness and the challenge: advance until one of them has run out.
  for (int i = 0; i < 3 && !f.hostLog.waitFor("rejestracja padła", 1, 200ms); ++i) {
    f.scheduler.advanceBy(5'999'000);
    EXPECT_FALSE(f.hostLog.waitFor("rejestracja padła", 1, 20ms));
    f.scheduler.advanceBy(1'000);
  }
  EXPECT_TRUE(f.hostLog.waitFor("rejestracja padła (timed out) — ponawiam za 1s"));
  EXPECT_TRUE(peer->closedByPeer());
}

TEST(RelayHostLink, JoinsOnlyNoticesWithSixteenHexBytes) {
  HostFixture f;
  int requests = 0;
  f.link->setOnSessionRequest([&] { ++requests; });
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  const char* ignored[] = {
      "N 000102030405060708090A0B0C0D0E",      // 30 characters
      "N 000102030405060708090A0B0C0D0E0F10",  // 34 characters
      "N 000102030405060708090A0B0C0D0E0G",    // not hexadecimal
      "N 000102030405060708090A0B0C0D0E0F\r",  // a carriage return makes 33 characters
      "X 000102030405060708090A0B0C0D0E0F",    // another keyword
  };
  for (const char* line : ignored) registration->write(std::string(line) + "\n");
  registration->write("N 000102030405060708090A0B0C0D0E0F\n");  // upper case is accepted
  auto join = f.relay.accept();
  ASSERT_TRUE(join);
  join->write("WELCOME\n");
  EXPECT_EQ(join->readLine(), "J 000102030405060708090a0b0c0d0e0f");
  EXPECT_FALSE(f.relay.tcp.hasWaiting());  // the ignored notices opened nothing
  EXPECT_EQ(f.hostLog.count("nowa sesja"), 1u);
  EXPECT_EQ(f.hostLog.lines().back().find("🛰 relay: nowa sesja 00010203…"), 0u);
  EXPECT_EQ(requests, 1);
  EXPECT_FALSE(registration->closedByPeer(50ms));  // the registration stays
}

TEST(RelayHostLink, AJoinedSessionCarriesTheBytesThatCameRightBehindTheOpeningLine) {
  HostFixture f;
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  registration->write("N 00112233445566778899aabbccddeeff\n");
  auto join = f.relay.accept();
  ASSERT_TRUE(join);
  // The opening line and the client's first frames in one piece, as a fast service sends them.
  join->write(joined({tavlo::toBytes("READY\n"), muxFrame(packet(0, "hello")), muxFrame(packet(3, "key"))}));
  EXPECT_EQ(join->readLine(), "J 00112233445566778899aabbccddeeff");

  auto transport = receiveWithin(*f.emitted);
  ASSERT_TRUE(transport);
  EXPECT_EQ((*transport)->remoteDescription(), "relay/klient");
  EXPECT_TRUE(isRelayedDescription((*transport)->remoteDescription()));
  EXPECT_EQ(receiveWithin((*transport)->control().incoming()), packet(0, "hello"));
  EXPECT_EQ(receiveWithin((*transport)->inputReliable().incoming()), packet(3, "key"));

  // And the other way: the host's frames go out on the join connection.
  (*transport)->control().send(packet(0, "welcome"));
  EXPECT_EQ(join->read(4 + 16 + 7), muxFrame(packet(0, "welcome")));
  (*transport)->close();
  EXPECT_TRUE(join->closedByPeer());
}

// The service names who asked for a session right before its notice: the transport carries that
// address, so the host's caps tell relayed clients apart; a name for another token names nobody.
TEST(RelayHostLink, ATransportCarriesTheClientAddressTheServiceNamedForItsToken) {
  HostFixture f;
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  struct Row {
    std::string lines;
    std::string description;
  };
  const Row rows[] = {
      {"NA 00112233445566778899AABBCCDDEEFF 203.0.113.5\nN 00112233445566778899AABBCCDDEEFF\n",
       "relay/klient/203.0.113.5"},
      {"NA 00112233445566778899aabbccddeeff 2001:db8::7\nN 00112233445566778899aabbccddeeff\n",
       "relay/klient/2001:db8::7"},
      {"NA 00000000000000000000000000000000 203.0.113.5\nN 00112233445566778899aabbccddeeff\n", "relay/klient"},
      {"NA 00112233445566778899aabbccddeeff not-an-address\nN 00112233445566778899aabbccddeeff\n", "relay/klient"},
      {"N 00112233445566778899aabbccddeeff\n", "relay/klient"},
  };
  for (const Row& row : rows) {
    registration->write(row.lines);
    auto join = f.relay.accept();
    ASSERT_TRUE(join);
    join->write("READY\n");
    EXPECT_EQ(join->readLine(), "J 00112233445566778899aabbccddeeff");
    auto transport = receiveWithin(*f.emitted);
    ASSERT_TRUE(transport);
    EXPECT_EQ((*transport)->remoteDescription(), row.description) << row.lines;
    (*transport)->close();
  }
}

TEST(RelayHostLink, FollowsAtMostEightNoticesAtOnce) {
  HostFixture f;
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  std::string notices;
  for (int i = 0; i <= 8; ++i) notices += "N 0000000000000000000000000000000" + std::to_string(i) + "\n";
  registration->write(notices);
  std::vector<std::unique_ptr<ScriptedPeer>> joins;  // none answered: all eight stay in progress
  for (size_t i = 0; i < RelayHostLink::maxJoinsAtOnce; ++i) {
    joins.push_back(f.relay.accept());
    ASSERT_TRUE(joins.back()) << i;
  }
  EXPECT_TRUE(f.hostLog.waitFor("🛰 relay: zbyt wiele dołączeń naraz (8) — sesja 00000000… pominięta"));
  EXPECT_FALSE(f.relay.accept(100ms)) << "the ninth notice opened nothing";
  EXPECT_FALSE(registration->closedByPeer(50ms));
}

TEST(RelayHostLink, AJoinWhoseServiceFailsIsLoggedAndDropped) {
  struct Row {
    const char* why;
    bool hangUp;  // else the service stays silent
  };
  const Row rows[] = {
      {"the service hangs up before its opening line", true},
      {"the service sends no opening line within six seconds", false},
  };
  for (const Row& row : rows) {
    HostFixture f;
    f.link->start();
    auto registration = f.registered();
    ASSERT_TRUE(registration) << row.why;
    registration->write("N 00112233445566778899aabbccddeeff\n");
    auto join = f.relay.accept();
    ASSERT_TRUE(join) << row.why;
    if (row.hangUp) join->close();
    // The limit covers the readiness and the opening line: advance until one of them has run out.
    for (int i = 0; !row.hangUp && i < 3 && !f.hostLog.waitFor("dołączenie do sesji", 1, 200ms); ++i)
      f.scheduler.advanceBy(6'000'000);
    EXPECT_TRUE(f.hostLog.waitFor("🛰 relay: dołączenie do sesji nieudane (")) << row.why;
    if (!row.hangUp) {
      EXPECT_TRUE(join->closedByPeer()) << row.why;
    }
    EXPECT_FALSE(receiveWithin(*f.emitted, 50ms)) << row.why;
    EXPECT_FALSE(registration->closedByPeer(50ms)) << row.why;
  }
}

TEST(RelayHostLink, ClosesTheRegistrationOnALineLongerThanFourKilobytes) {
  HostFixture f;
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  registration->write(std::string(5000, 'N'));
  EXPECT_TRUE(registration->closedByPeer());
  EXPECT_TRUE(f.hostLog.waitFor("rejestracja padła (a line longer than the line limit)"));
}

TEST(RelayHostLink, AfterStopTheRegistrationEndsAtItsNextLineAndNoOtherStarts) {
  HostFixture f;
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  f.link->stop();
  // The registration notices at its next check: at the latest once its next line arrives.
  registration->write("RD 1\n");
  EXPECT_TRUE(registration->closedByPeer());
  EXPECT_FALSE(f.relay.accept(100ms));
  EXPECT_EQ(f.scheduler.pendingCount(), 0u);
  EXPECT_EQ(f.hostLog.count("rejestracja padła"), 0u);
}

TEST(RelayHostLink, ReleasingTheLinkClosesItsRegistrationAndPendingJoins) {
  HostFixture f;
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  registration->write("N 00112233445566778899aabbccddeeff\n");
  auto join = f.relay.accept();  // never answered: the join waits for its opening line
  ASSERT_TRUE(join);
  f.link.reset();
  EXPECT_TRUE(registration->closedByPeer());
  EXPECT_TRUE(join->closedByPeer());
  EXPECT_FALSE(receiveWithin(*f.emitted, 50ms));
}

TEST(RelayHostLink, ARefusedRegistrationIsLoggedWithTheServicesReasonAndNeverReported) {
  struct Row {
    const char* why;
    std::optional<std::string> answer;  // none: the service closes without a line
    const char* logged;
  };
  const Row rows[] = {
      {"a host ID pinned to another key", "E inny klucz niż przypięty do tego hosta\n",
       "🛰 relay: rejestracja odrzucona — inny klucz niż przypięty do tego hosta"},
      {"a reason with control characters", std::string("E zły\x1b[2Jpowód\n"), "🛰 relay: rejestracja odrzucona — zły?[2Jpowód"},
      {"a bad signature", std::nullopt, "rejestracja padła (the peer closed the line connection)"},
  };
  for (const Row& row : rows) {
    HostFixture f;
    std::mutex mutex;
    std::vector<bool> reports;
    f.link->setOnRegistration([&](bool registered) {
      std::lock_guard guard(mutex);
      reports.push_back(registered);
    });
    f.link->start();
    auto peer = f.greet(challengeLine(tavlo::SystemRandom::shared().bytes(32)));
    ASSERT_TRUE(peer && peer->readLine() && peer->readLine() && peer->readLine()) << row.why;
    if (row.answer) peer->write(*row.answer);
    peer->close();
    EXPECT_TRUE(f.hostLog.waitFor(row.logged)) << row.why;
    EXPECT_TRUE(f.hostLog.waitFor("— ponawiam za 1s")) << row.why;
    EXPECT_EQ(f.hostLog.count("zarejestrowany"), 0u) << row.why;
    std::lock_guard guard(mutex);
    EXPECT_EQ(reports, std::vector<bool>{false}) << row.why;
  }
}

// Two accounts of one machine once registered under one host ID: our own service pins the first key
// and refuses the second host, which must say so instead of taking itself for registered.
TEST(RelayHostLink, OurServiceRefusesASecondKeyForAPinnedHostIDAndTheHostSaysWhy) {
  RelayWorld world;
  ASSERT_TRUE(world.startHost());
  TestIdentity sameIdOtherKey;  // the same host ID, another account's key
  LogRecorder otherLog;
  std::atomic<int> registeredReports{0};
  RelayHostLink::Params params = world.linkParams();
  params.sigPub = sameIdOtherKey.sigPub();
  params.sign = sameIdOtherKey.signer();
  params.log = otherLog.sink();
  auto other = RelayHostLink::create(std::move(params));
  other->setOnRegistration([&](bool registered) { registeredReports += registered ? 1 : 0; });
  other->start();
  EXPECT_TRUE(otherLog.waitFor("🛰 relay: rejestracja odrzucona — inny klucz niż przypięty do tego hosta"));
  EXPECT_EQ(otherLog.count("zarejestrowany"), 0u);
  EXPECT_EQ(registeredReports.load(), 0);
  other.reset();
}

}  // namespace
}  // namespace vela

namespace vela {
namespace {

// A host that ends withdraws its endpoint just before its link goes: the line still reaches the service.
TEST(RelayHostLink, AnEndpointPublishedJustBeforeTheLinkGoesStillLeaves) {
  HostFixture f;
  std::promise<void> registeredReport;
  f.link->setOnRegistration([&](bool registered) {
    if (registered) registeredReport.set_value();
  });
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  ASSERT_EQ(registeredReport.get_future().wait_for(5s), std::future_status::ready);
  f.link->publishEndpoint("203.0.113.5:47700");
  f.link->publishEndpoint("-");
  f.link.reset();
  EXPECT_EQ(registration->readLine(), "EP 203.0.113.5:47700");
  EXPECT_EQ(registration->readLine(), "EP -");
  EXPECT_TRUE(registration->closedByPeer());
}

}  // namespace
}  // namespace vela
