#include "transport/relay_host_link.hpp"

#include <gtest/gtest.h>

#include "platform/runtime/base64.hpp"
#include "platform/runtime/random.hpp"
#include "tests/transport/relay/relay_test_kit.hpp"
#include "transport/relay_text.hpp"

namespace vela {
namespace {

using namespace relaytest;

// A plain packet of `channel` with a short payload, as the multiplex carries it.
Bytes packet(uint8_t channel, const std::string& text) {
  Bytes bytes(16 + text.size(), 0);
  const uint8_t head[] = {'T', 'L', 'K', '2', 1, channel, 0x10};
  std::copy(std::begin(head), std::end(head), bytes.begin());
  std::copy(text.begin(), text.end(), bytes.begin() + 16);
  return bytes;
}

Bytes frame(ByteView payload) {
  Bytes bytes(4 + payload.size());
  for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(payload.size() >> (8 * i));
  std::copy(payload.begin(), payload.end(), bytes.begin() + 4);
  return bytes;
}

Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (start <= line.size()) {
    size_t space = line.find(' ', start);
    if (space == std::string::npos) space = line.size();
    fields.push_back(line.substr(start, space - start));
    start = space + 1;
  }
  return fields;
}

struct HostFixture {
  ScriptedRelay relay;
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler{clock};
  TestIdentity identity;
  LogRecorder log;
  std::shared_ptr<SessionStream> emitted = std::make_shared<SessionStream>();
  std::shared_ptr<RelayHostLink> link = RelayHostLink::create(linkParams(identity, relay.service(), scheduler, log, emitted));

  ~HostFixture() { link.reset(); }

  // Accepts the registration connection, challenges it, and returns its "H" line (nullopt if none).
  std::shared_ptr<ScriptedPeer> challenge(ByteView challengeBytes, std::optional<std::string>& hLine) {
    auto peer = relay.accept();
    if (!peer) return nullptr;
    peer->write("CH " + tavlo::base64Encode(challengeBytes) + "\n");
    hLine = peer->readLine(std::chrono::milliseconds(300));
    return peer;
  }
  // A registration that the service accepted; the host's "EP" and "RD" lines are read.
  std::shared_ptr<ScriptedPeer> registered() {
    std::optional<std::string> h;
    auto peer = challenge(tavlo::SystemRandom::shared().bytes(32), h);
    if (!peer || !h || peer->readLine() != "EP -" || peer->readLine() != "RD 1") return nullptr;
    return peer;
  }
};

TEST(RelayHostLink, RegistersWithASignatureOfTheChallengeThenPublishes) {
  HostFixture f;
  f.link->start();
  Bytes challenge = tavlo::SystemRandom::shared().bytes(32);
  std::optional<std::string> h;
  auto peer = f.challenge(challenge, h);
  ASSERT_TRUE(peer && h);
  auto fields = fieldsOf(*h);
  ASSERT_EQ(fields.size(), 4u) << *h;
  EXPECT_EQ(fields[0], "H");
  EXPECT_EQ(fields[1], f.identity.hostID);
  EXPECT_EQ(fields[2], tavlo::base64Encode(f.identity.sigPub()));
  EXPECT_EQ(fields[3].size(), 88u);
  EXPECT_TRUE(tavlo::crypto::isValidEd25519Signature(f.identity.sigPub(), challenge, *tavlo::base64Decode(fields[3])));
  EXPECT_EQ(peer->readLine(), "EP -");
  EXPECT_EQ(peer->readLine(), "RD 1");
  EXPECT_TRUE(f.log.waitFor("🛰 relay: zarejestrowany jako 3F2504E0… (127.0.0.1)"));

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
  std::optional<std::string> h;
  auto peer = f.challenge(Bytes(32, 7), h);
  ASSERT_TRUE(peer && h);
  EXPECT_EQ(peer->readLine(), "EP 198.51.100.7:47700");
  EXPECT_EQ(peer->readLine(), "RD 0");
  EXPECT_FALSE(peer->readLine(std::chrono::milliseconds(100)));  // nothing more
}

TEST(RelayHostLink, AValuePublishedWhileRegisteringIsTheLastOneTheServiceHears) {
  // The publish lands while the registration sends its own first lines; it must not be overtaken by
  // the older value the registration read before it.
  for (int attempt = 0; attempt < 5; ++attempt) {
    HostFixture f;
    f.link->start();
    auto peer = f.relay.accept();
    ASSERT_TRUE(peer);
    peer->write("CH AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n");
    ASSERT_TRUE(f.log.waitFor("zarejestrowany jako"));
    f.link->publishRelayData(false);
    std::string lastRelayData;
    while (auto line = peer->readLine(std::chrono::milliseconds(30)))
      if (line->starts_with("RD ")) lastRelayData = *line;
    EXPECT_EQ(lastRelayData, "RD 0") << "attempt " << attempt;
  }
}

TEST(RelayHostLink, RefusesToSignChallengesThatCouldBeHandshakeTranscripts) {
  struct Row {
    const char* why;
    Bytes challenge;
  };
  Bytes labelled = tavlo::toBytes("TL2-E2E-v1");
  labelled.resize(64, 0x33);
  const Row rows[] = {
      {"the length of a handshake transcript", tavlo::SystemRandom::shared().bytes(90)},
      {"the handshake label at its start", labelled},
  };
  for (const Row& row : rows) {
    HostFixture f;
    f.link->start();
    std::optional<std::string> h;
    auto peer = f.challenge(row.challenge, h);
    ASSERT_TRUE(peer) << row.why;
    EXPECT_FALSE(h) << row.why;
    EXPECT_TRUE(peer->closedByPeer()) << row.why;
    EXPECT_TRUE(f.log.waitFor("odmowa podpisu")) << row.why;
    EXPECT_TRUE(f.log.waitFor("rejestracja padła (badEndpoint) — ponawiam za 1s")) << row.why;
    // Ordinary challenges are still signed: the next registration succeeds.
    f.scheduler.advanceBy(1'000'000);
    EXPECT_TRUE(f.registered()) << row.why;
  }
}

TEST(RelayHostLink, RejectsAFirstLineThatIsNotAChallenge) {
  struct Row {
    const char* why;
    std::string line;
  };
  const Row rows[] = {
      {"\"CH\" and nothing else is trimmed to \"CH\", without the prefix", "CH \n"},
      {"not Base64", "CH !!!!\n"},
      {"a carriage return spoils the Base64", "CH YWJj\r\n"},
      {"another keyword", "HELLO YWJj\n"},
  };
  for (const Row& row : rows) {
    HostFixture f;
    f.link->start();
    auto peer = f.relay.accept();
    ASSERT_TRUE(peer) << row.why;
    peer->write(row.line);
    EXPECT_FALSE(peer->readLine(std::chrono::milliseconds(300))) << row.why;
    EXPECT_TRUE(peer->closedByPeer()) << row.why;
    EXPECT_TRUE(f.log.waitFor("rejestracja padła (badEndpoint)")) << row.why;
  }
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
    ASSERT_TRUE(f.log.waitFor("rejestracja padła (", attempt + 1)) << attempt;
    EXPECT_TRUE(f.log.lines().back().ends_with("— ponawiam za " + wait + "s")) << f.log.lines().back();
    ASSERT_EQ(f.scheduler.pendingCount(), 1u);  // the wait and nothing else
    f.scheduler.advanceBy(expected[attempt] * 1'000'000 - 1'000);
    EXPECT_EQ(f.scheduler.pendingCount(), 1u) << "retried before " << wait << " s";
    EXPECT_EQ(f.relay.waiting(), 0u);
    f.scheduler.advanceBy(1'000);
  }
}

TEST(RelayHostLink, GivesUpOnAServiceThatSendsNoChallengeWithinSixSeconds) {
  HostFixture f;
  f.link->start();
  auto peer = f.relay.accept();
  ASSERT_TRUE(peer);
  // The limit covers both the readiness and the challenge: advance until one of them has run out.
  for (int i = 0; i < 3 && !f.log.waitFor("rejestracja padła", 1, std::chrono::milliseconds(200)); ++i) {
    f.scheduler.advanceBy(5'999'000);
    EXPECT_FALSE(f.log.waitFor("rejestracja padła", 1, std::chrono::milliseconds(20)));
    f.scheduler.advanceBy(1'000);
  }
  EXPECT_TRUE(f.log.waitFor("rejestracja padła (badEndpoint) — ponawiam za 1s"));
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
  EXPECT_EQ(f.relay.waiting(), 0u);  // the ignored notices opened nothing
  EXPECT_EQ(f.log.count("nowa sesja"), 1u);
  EXPECT_EQ(f.log.lines().back().find("🛰 relay: nowa sesja 00010203…"), 0u);
  EXPECT_EQ(requests, 1);
  EXPECT_FALSE(registration->closedByPeer(std::chrono::milliseconds(50)));  // the registration stays
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
  join->write(joined({tavlo::toBytes("READY\n"), frame(packet(0, "hello")), frame(packet(3, "key"))}));
  EXPECT_EQ(join->readLine(), "J 00112233445566778899aabbccddeeff");

  auto transport = receiveWithin(*f.emitted);
  ASSERT_TRUE(transport);
  EXPECT_EQ((*transport)->remoteDescription(), "relay/klient");
  EXPECT_TRUE(isRelayedDescription((*transport)->remoteDescription()));
  EXPECT_EQ(receiveWithin((*transport)->control().incoming()), packet(0, "hello"));
  EXPECT_EQ(receiveWithin((*transport)->inputReliable().incoming()), packet(3, "key"));

  // And the other way: the host's frames go out on the join connection.
  (*transport)->control().send(packet(0, "welcome"));
  EXPECT_EQ(join->readBytes(4 + 16 + 7), frame(packet(0, "welcome")));
  (*transport)->close();
  EXPECT_TRUE(join->closedByPeer());
}

TEST(RelayHostLink, TwoNoticesStartTwoIndependentJoins) {
  HostFixture f;
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  registration->write("N 0000000000000000000000000000000a\nN 0000000000000000000000000000000b\n");
  std::vector<std::string> joinLines;
  std::vector<std::shared_ptr<ScriptedPeer>> joins;
  for (int i = 0; i < 2; ++i) {
    auto join = f.relay.accept();
    ASSERT_TRUE(join);
    join->write("HI\n");
    joinLines.push_back(join->readLine().value_or(""));
    joins.push_back(join);
  }
  std::sort(joinLines.begin(), joinLines.end());
  EXPECT_EQ(joinLines, (std::vector<std::string>{"J 0000000000000000000000000000000a", "J 0000000000000000000000000000000b"}));
  auto first = receiveWithin(*f.emitted);
  auto second = receiveWithin(*f.emitted);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->get(), second->get());
  EXPECT_NE(&(*first)->video(), &(*second)->video());
}

TEST(RelayHostLink, FollowsAtMostEightNoticesAtOnce) {
  HostFixture f;
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  std::string notices;
  for (int i = 0; i <= 8; ++i) notices += "N 0000000000000000000000000000000" + std::to_string(i) + "\n";
  registration->write(notices);
  std::vector<std::shared_ptr<ScriptedPeer>> joins;  // none answered: all eight stay in progress
  for (size_t i = 0; i < RelayHostLink::maxJoinsAtOnce; ++i) {
    joins.push_back(f.relay.accept());
    ASSERT_TRUE(joins.back()) << i;
  }
  EXPECT_TRUE(f.log.waitFor("🛰 relay: zbyt wiele dołączeń naraz (8) — sesja 00000000… pominięta"));
  EXPECT_FALSE(f.relay.accept(std::chrono::milliseconds(100))) << "the ninth notice opened nothing";
  EXPECT_FALSE(registration->closedByPeer(std::chrono::milliseconds(50)));
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
    for (int i = 0; !row.hangUp && i < 3 && !f.log.waitFor("dołączenie do sesji", 1, std::chrono::milliseconds(200));
         ++i)
      f.scheduler.advanceBy(6'000'000);
    EXPECT_TRUE(f.log.waitFor("🛰 relay: dołączenie do sesji nieudane (")) << row.why;
    if (!row.hangUp) {
      EXPECT_TRUE(join->closedByPeer()) << row.why;
    }
    EXPECT_FALSE(receiveWithin(*f.emitted, std::chrono::milliseconds(50))) << row.why;
    EXPECT_FALSE(registration->closedByPeer(std::chrono::milliseconds(50))) << row.why;
  }
}

TEST(RelayHostLink, ClosesTheRegistrationOnALineLongerThanFourKilobytes) {
  HostFixture f;
  f.link->start();
  auto registration = f.registered();
  ASSERT_TRUE(registration);
  registration->write(std::string(5000, 'N'));
  EXPECT_TRUE(registration->closedByPeer());
  EXPECT_TRUE(f.log.waitFor("rejestracja padła (badEndpoint)"));
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
  EXPECT_FALSE(f.relay.accept(std::chrono::milliseconds(100)));
  EXPECT_EQ(f.scheduler.pendingCount(), 0u);
  EXPECT_EQ(f.log.count("rejestracja padła"), 0u);
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
  EXPECT_FALSE(receiveWithin(*f.emitted, std::chrono::milliseconds(50)));
}

}  // namespace
}  // namespace vela
