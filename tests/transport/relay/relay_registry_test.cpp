#include "tools/relay/relay_registry.hpp"

#include <gtest/gtest.h>

#include "platform/crypto/ed25519.hpp"
#include "platform/runtime/base64.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tools/relay/relay_forwarder.hpp"
#include "transport/relay.hpp"
#include "transport/relay_text.hpp"

namespace tavlo::relay {
namespace {

using Actions = RelayRegistry::Actions;

const std::string hostID = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";

struct Fixture {
  SeededRandom random{7};
  RelayRegistry registry{random};
  crypto::Ed25519PrivateKey key = *crypto::Ed25519PrivateKey::generate();

  Bytes challengeOf(const Actions& opened) {
    const std::string& line = opened.sends.at(0).line;
    return *base64Decode(line.substr(3, line.size() - 4));
  }
  std::string hLine(ByteView challenge) {
    auto signature = *key.sign(challenge);
    return "H " + hostID + " " + base64Encode(key.publicKey()) + " " + base64Encode(signature);
  }
  void registerHost(RelayRegistry::ConnectionId id) {
    Bytes challenge = challengeOf(registry.opened(id));
    Actions out = registry.received(id, hLine(challenge));
    ASSERT_TRUE(out.closes.empty());
  }
  std::string mac() { return vela::Relay::gateMAC(hostID, key.publicKey()); }
};

TEST(RelayRegistry, GreetsEveryConnectionWithAFreshChallenge) {
  Fixture f;
  Actions a = f.registry.opened(1);
  Actions b = f.registry.opened(2);
  ASSERT_EQ(a.sends.size(), 1u);
  EXPECT_TRUE(a.sends[0].line.starts_with("CH "));
  EXPECT_TRUE(a.sends[0].line.ends_with("\n"));
  EXPECT_EQ(f.challengeOf(a).size(), 32u);
  EXPECT_NE(f.challengeOf(a), f.challengeOf(b));
}

TEST(RelayRegistry, RegistersAHostOnlyWithAValidSignatureOfItsOwnChallenge) {
  struct Row {
    const char* why;
    std::function<std::string(Fixture&, ByteView challenge)> line;
    bool registered;
  };
  const Row rows[] = {
      {"the signature of this connection's challenge", [](Fixture& f, ByteView c) { return f.hLine(c); }, true},
      {"a signature of another challenge", [](Fixture& f, ByteView) { return f.hLine(toBytes("other")); }, false},
      {"a key that did not sign",
       [](Fixture& f, ByteView c) {
         auto other = *crypto::Ed25519PrivateKey::generate();
         return "H " + hostID + " " + base64Encode(other.publicKey()) + " " + base64Encode(*f.key.sign(c));
       },
       false},
      {"a signature that is not Base64", [](Fixture&, ByteView) { return "H " + hostID + " AAAA !!!"; }, false},
      {"too few fields", [](Fixture&, ByteView) { return "H " + hostID; }, false},
  };
  for (const Row& row : rows) {
    Fixture f;
    Bytes challenge = f.challengeOf(f.registry.opened(1));
    Actions out = f.registry.received(1, row.line(f, challenge));
    EXPECT_EQ(f.registry.registeredHosts(), row.registered ? 1u : 0u) << row.why;
    EXPECT_EQ(out.closes.empty(), row.registered) << row.why;
  }
}

// The host hears who asks, right before the notice, so that it can tell relayed clients apart.
TEST(RelayRegistry, NamesTheClientsAddressToTheHostBeforeItsNotice) {
  Fixture f;
  f.registerHost(1);
  f.registry.opened(2, "2001:db8::7");
  Actions asked = f.registry.received(2, "C " + hostID + " " + f.mac());
  ASSERT_EQ(asked.sends.size(), 2u);
  EXPECT_EQ(asked.sends[0].to, 1u);
  EXPECT_EQ(asked.sends[1].to, 1u);
  const std::string& notice = asked.sends[1].line;
  ASSERT_TRUE(notice.starts_with("N ")) << notice;
  EXPECT_EQ(asked.sends[0].line, "NA " + notice.substr(2, 32) + " 2001:db8::7\n");
  auto named = vela::parseClientNotice(asked.sends[0].line.substr(0, asked.sends[0].line.size() - 1));
  ASSERT_TRUE(named);
  EXPECT_EQ(named->address, "2001:db8::7");
  EXPECT_EQ(named->token, *vela::parseHexString(notice.substr(2, 32)));
}

TEST(RelayRegistry, SessionNotifiesTheHostAndSplicesOnItsJoin) {
  Fixture f;
  f.registerHost(1);
  f.registry.opened(2);
  Actions asked = f.registry.received(2, "C " + hostID + " " + f.mac());
  ASSERT_EQ(asked.sends.size(), 1u);
  EXPECT_EQ(asked.sends[0].to, 1u);
  const std::string& notice = asked.sends[0].line;
  ASSERT_TRUE(notice.starts_with("N ") && notice.size() == 35) << notice;
  ASSERT_TRUE(asked.sessionOpened);
  auto token = *vela::parseHexString(notice.substr(2, 32));
  EXPECT_TRUE(f.registry.isLiveToken(token));

  f.registry.opened(3);
  Actions joined = f.registry.received(3, "J " + hexString(token));
  ASSERT_EQ(joined.sends.size(), 1u);
  EXPECT_EQ(joined.sends[0].to, 2u);
  EXPECT_EQ(joined.sends[0].line, "S " + hexString(token) + "\n");
  ASSERT_TRUE(joined.splice);
  EXPECT_EQ(joined.splice->host, 3u);
  EXPECT_EQ(joined.splice->client, 2u);

  // Either end closing ends the session and closes the other end.
  Actions gone = f.registry.closed(2);
  EXPECT_EQ(gone.closes, std::vector<RelayRegistry::ConnectionId>{3});
  EXPECT_FALSE(f.registry.isLiveToken(token));
  EXPECT_EQ(gone.sessionsClosed.size(), 1u);
}

TEST(RelayRegistry, RefusesSessionsItCannotServe) {
  struct Row {
    const char* why;
    std::function<std::string(Fixture&)> line;
    bool relayData;
  };
  const Row rows[] = {
      {"a wrong gate MAC", [](Fixture&) { return "C " + hostID + " " + std::string(43, 'A') + "="; }, true},
      {"an unknown host", [](Fixture& f) { return "C 00000000-0000-0000-0000-000000000000 " + f.mac(); }, true},
      {"a host that turned relayed data off", [](Fixture& f) { return "C " + hostID + " " + f.mac(); }, false},
  };
  for (const Row& row : rows) {
    Fixture f;
    f.registerHost(1);
    if (!row.relayData) f.registry.received(1, "RD 0");
    f.registry.opened(2);
    Actions out = f.registry.received(2, row.line(f));
    ASSERT_EQ(out.sends.size(), 1u) << row.why;
    EXPECT_EQ(out.sends[0].line, "S -\n") << row.why;
    EXPECT_EQ(out.closes, std::vector<RelayRegistry::ConnectionId>{2}) << row.why;
  }
}

TEST(RelayRegistry, ClosesJoinsOfUnknownSessionsAndUnknownLines) {
  for (const char* line : {"J 000102030405060708090a0b0c0d0e0f", "J 0001", "HELLO"}) {
    Fixture f;
    f.registry.opened(1);
    EXPECT_EQ(f.registry.received(1, line).closes.size(), 1u) << line;
  }
}

TEST(RelayRegistry, AWaitingClientIsRefusedWhenTheHostNeverJoins) {
  Fixture f;
  f.registerHost(1);
  f.registry.opened(2);
  Actions asked = f.registry.received(2, "C " + hostID + " " + f.mac());
  Actions expired = f.registry.joinExpired(*asked.sessionOpened);
  ASSERT_EQ(expired.sends.size(), 1u);
  EXPECT_EQ(expired.sends[0].line, "S -\n");
  EXPECT_EQ(expired.closes, std::vector<RelayRegistry::ConnectionId>{2});
}

TEST(RelayRegistry, ARegistrationReplacesTheHostsStaleConnection) {
  Fixture f;
  f.registerHost(1);
  Bytes challenge = f.challengeOf(f.registry.opened(2));
  Actions out = f.registry.received(2, f.hLine(challenge));
  EXPECT_EQ(out.closes, std::vector<RelayRegistry::ConnectionId>{1});
  f.registry.closed(1);  // the stale one going does not unregister the host
  EXPECT_EQ(f.registry.registeredHosts(), 1u);
  f.registry.closed(2);
  EXPECT_EQ(f.registry.registeredHosts(), 0u);
}

// Anyone can sign a challenge with a key of its own: a host id belongs to the first key it registered
// with, in the state file across restarts, and a stranger with another key neither registers nor cuts
// the host off. Only the operator's unpin lets another key in.
TEST(RelayRegistry, ASecondKeyForAPinnedHostIdIsRefusedAndTheHostStaysRegistered) {
  testkit::TempDir dir;
  const auto path = dir / "relay/relay-state.json";
  Fixture host;  // its key is the host's
  auto stranger = *crypto::Ed25519PrivateKey::generate();
  auto registration = [&](RelayRegistry& registry, RelayRegistry::ConnectionId id, const crypto::Ed25519PrivateKey& key) {
    const std::string line = registry.opened(id).sends.at(0).line;
    Bytes challenge = *base64Decode(line.substr(3, line.size() - 4));
    return registry.received(id, "H " + hostID + " " + base64Encode(key.publicKey()) + " " +
                                     base64Encode(*key.sign(challenge)));
  };
  {
    JsonStore state(path);
    RelayRegistry registry(host.random, state);
    ASSERT_TRUE(registration(registry, 1, host.key).closes.empty());
    Actions refused = registration(registry, 2, stranger);
    ASSERT_EQ(refused.sends.size(), 1u);
    EXPECT_EQ(refused.sends[0].to, 2u);
    EXPECT_EQ(refused.sends[0].line, "E inny klucz niż przypięty do tego hosta\n");
    // Neither connection is closed now: the refused one goes at the first-line limit, after the host
    // read the reason (closing at once could reset the connection over the host's unread lines).
    EXPECT_TRUE(refused.closes.empty());
    EXPECT_TRUE(registry.awaitsFirstLine(2));
    EXPECT_TRUE(registry.received(2, "EP -").sends.empty());
    ASSERT_EQ(refused.log.size(), 1u);
    EXPECT_NE(refused.log[0].find("inny klucz niż przypięty"), std::string::npos) << refused.log[0];
    registry.opened(3);
    Actions session = registry.received(3, "C " + hostID + " " + host.mac());
    ASSERT_FALSE(session.sends.empty());
    EXPECT_EQ(session.sends[0].to, 1u) << "the host still hears of sessions";
  }
  EXPECT_EQ(testkit::fileMode(path), 0600u);

  JsonStore state(path);
  RelayRegistry restarted(host.random, state);
  EXPECT_EQ(registration(restarted, 1, stranger).sends.at(0).line, "E inny klucz niż przypięty do tego hosta\n")
      << "the pin outlives a restart";
  EXPECT_TRUE(RelayRegistry::unpin(state, hostID));
  EXPECT_FALSE(RelayRegistry::unpin(state, hostID));
  EXPECT_EQ(registration(restarted, 2, stranger).sends.at(0).line, "OK\n") << "after the operator's unpin";
  EXPECT_EQ(restarted.registeredHosts(), 1u);
}

TEST(RelayForwarder, PassesDatagramsBetweenTheSidesOfOneSlot) {
  RelayForwarder<std::string> forwarder;
  Bytes token(16, 0xAB);
  auto live = [&](ByteView t) { return std::equal(t.begin(), t.end(), token.begin(), token.end()); };
  auto datagram = [&](uint8_t slot, uint8_t side, size_t payload, uint8_t tokenByte = 0xAB) {
    Bytes d = {'T', 'L', 'R', '1'};
    d.insert(d.end(), 16, tokenByte);
    d.push_back(slot);
    d.push_back(side);
    d.insert(d.end(), payload, 0x11);
    return d;
  };
  auto to = [&](const std::string& from, const Bytes& d) { return forwarder.route(from, d, live).forwardTo; };
  // The host's video flow is not known yet: the client's first video datagram goes nowhere.
  EXPECT_TRUE(forwarder.route("client:1", datagram(1, 0, 10), live).newAddress);
  EXPECT_FALSE(to("client:1", datagram(1, 0, 10)));
  // The host's keepalive teaches its address and is not forwarded.
  auto keepalive = forwarder.route("host:1", datagram(1, 1, 0), live);
  EXPECT_TRUE(keepalive.newAddress);
  EXPECT_FALSE(keepalive.forwardTo);
  EXPECT_EQ(to("client:1", datagram(1, 0, 10)), "host:1");
  EXPECT_EQ(to("host:1", datagram(1, 1, 5)), "client:1");
  EXPECT_FALSE(forwarder.route("host:1", datagram(1, 1, 0), live).newAddress);
  // Another slot has its own addresses.
  EXPECT_FALSE(to("client:2", datagram(2, 0, 5)));
  // Unknown sessions, bad slots or sides and short datagrams are dropped and teach nothing.
  EXPECT_FALSE(to("x", datagram(1, 0, 5, 0xCD)));
  EXPECT_FALSE(to("x", datagram(4, 0, 5)));
  EXPECT_FALSE(to("x", datagram(1, 2, 5)));
  EXPECT_FALSE(to("x", Bytes{'T', 'L', 'R', '1'}));
  EXPECT_EQ(forwarder.routeCount(), 3u);
  // A flow that moved is followed.
  EXPECT_TRUE(forwarder.route("host:9", datagram(1, 1, 0), live).newAddress);
  EXPECT_EQ(to("client:1", datagram(1, 0, 10)), "host:9");
  RelayForwarder<std::string>::Token key;
  std::fill(key.begin(), key.end(), 0xAB);
  forwarder.forget(key);
  EXPECT_EQ(forwarder.routeCount(), 0u);
}

}  // namespace
}  // namespace tavlo::relay
