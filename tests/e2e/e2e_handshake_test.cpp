// The handshake records, the labels, the gate MAC and the key derivation, and both halves of the
// handshake as pure logic.
#include <gtest/gtest.h>

#include "e2e/e2e_client_handshake.hpp"
#include "e2e/e2e_crypto.hpp"
#include "e2e/e2e_host_handshake.hpp"
#include "e2e/e2e_messages.hpp"
#include "platform/crypto/x25519.hpp"
#include "tests/e2e/e2e_test_support.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using e2etest::memoryIdentity;

E2EHello sampleHello(bool withMac) {
  E2EHello hello;
  for (size_t i = 0; i < 32; ++i) hello.ephPub[i] = static_cast<uint8_t>(i + 1);
  for (size_t i = 0; i < 16; ++i) hello.nonce[i] = static_cast<uint8_t>(0x40 + i);
  if (withMac) {
    hello.gateMac.emplace();
    hello.gateMac->fill(0xC3);
  }
  return hello;
}

TEST(E2EMessages, AHelloIs80BytesWithTheMacAnd48WithoutAndDecodesByItsLength) {
  for (bool withMac : {true, false}) {
    Bytes payload = wiretest::payloadOf(sampleHello(withMac));
    EXPECT_EQ(payload.size(), withMac ? 80u : 48u);
    EXPECT_EQ(payload[0], 1);
    EXPECT_EQ(payload[32], 0x40);
  }
  EXPECT_FALSE(sampleHello(true) == sampleHello(false)) << "a hello with a MAC differs from one without";
  Bytes packet = encodePacket(sampleHello(true), 0, 0);
  EXPECT_EQ(packet.size(), 96u);
  EXPECT_EQ(e2etest::headerOf(packet), (PacketHeader{Channel::control, 0x27, {}, 0, 0}));

  Bytes full = wiretest::payloadOf(sampleHello(true));
  for (size_t size = 0; size <= 90; ++size) {
    Bytes payload(full.begin(), full.begin() + std::min(size, full.size()));
    payload.resize(size, 0xEE);
    auto error = wiretest::decodeError<E2EHello>(payload);
    if (size < 48) {
      ASSERT_TRUE(error) << size;
      EXPECT_EQ(error->kind(), WireError::Kind::underflow) << size;
    } else {
      ASSERT_FALSE(error) << size;
      E2EHello decoded = wiretest::decodeExact<E2EHello>(payload);
      EXPECT_EQ(decoded.gateMac.has_value(), size >= 80) << size << " bytes: the MAC needs all 32 of its bytes";
      if (size == 48 || size == 80) {
        EXPECT_TRUE(decoded == sampleHello(size == 80)) << size;
      }
    }
  }
  E2EAck ack;
  ack.signature.fill(9);
  Bytes ackPayload = wiretest::payloadOf(ack);
  ASSERT_EQ(ackPayload.size(), 144u);
  EXPECT_EQ(wiretest::decodeError<E2EAck>(ByteView(ackPayload).first(143))->kind(), WireError::Kind::underflow);
  ackPayload.push_back(0xEE);
  EXPECT_TRUE(wiretest::decodeExact<E2EAck>(ackPayload) == ack) << "bytes after the 144th are ignored";
}

TEST(E2ECrypto, TheGateMacBindsTheHostKeyTheClientKeyAndTheNonce) {
  Bytes host(32, 0x11), eph(32, 0x22), nonce(16, 0x33);
  auto mac = E2ECrypto::gateMac(host, eph, nonce);
  ASSERT_TRUE(mac);
  EXPECT_TRUE(E2ECrypto::isValidGateMac(*mac, host, eph, nonce));
  Bytes message(E2ECrypto::gateInfo.begin(), E2ECrypto::gateInfo.end());
  message.insert(message.end(), eph.begin(), eph.end());
  message.insert(message.end(), nonce.begin(), nonce.end());
  ASSERT_EQ(message.size(), 59u);
  EXPECT_EQ(*mac, *tavlo::crypto::hmacSha256(host, message)) << "HMAC over label, key and nonce, keyed by the host key";

  struct Row {
    size_t part, index;
    const char* why;
  } rows[] = {{0, 0, "first byte of the host key"}, {0, 31, "last byte of the host key"},
              {1, 5, "a byte of the client key"},   {2, 15, "last byte of the nonce"}};
  for (const auto& row : rows) {
    Bytes parts[3] = {host, eph, nonce};
    parts[row.part][row.index] ^= 0x01;
    EXPECT_NE(E2ECrypto::gateMac(parts[0], parts[1], parts[2]), mac) << row.why;
    EXPECT_FALSE(E2ECrypto::isValidGateMac(*mac, parts[0], parts[1], parts[2])) << row.why;
  }
  EXPECT_EQ(E2ECrypto::transcript(eph, nonce, host).size(), 90u);
}

TEST(E2ECrypto, BothEndsDeriveTheSameKeyAndANewNonceGivesANewOne) {
  auto a = tavlo::crypto::X25519PrivateKey::generate();
  auto b = tavlo::crypto::X25519PrivateKey::generate();
  Bytes nonce(16, 7), otherNonce(16, 8);
  auto keyA = E2ECrypto::sessionKey(*a->sharedSecret(b->publicKey()), nonce);
  auto keyB = E2ECrypto::sessionKey(*b->sharedSecret(a->publicKey()), nonce);
  ASSERT_TRUE(keyA && keyB);
  EXPECT_EQ(*keyA, *keyB);
  EXPECT_FALSE(*E2ECrypto::sessionKey(*a->sharedSecret(b->publicKey()), otherNonce) == *keyA);
}

// The two pure halves against each other.
TEST(E2EHandshake, AHelloWithTheGateMacIsAnsweredAndBothEndsAgree) {
  auto identity = memoryIdentity();
  auto client = E2EClientHandshake::start(e2etest::publicKeyOf(*identity));
  ASSERT_TRUE(client);
  EXPECT_EQ(client->helloPacket().size(), 96u);

  auto outcome = E2EHostHandshake::respond(*identity, true, client->helloPacket());
  ASSERT_TRUE(outcome.consumed);
  ASSERT_TRUE(outcome.answer);
  EXPECT_FALSE(outcome.logLine);
  const Bytes& ack = outcome.answer->ackPacket;
  ASSERT_EQ(ack.size(), 160u);
  EXPECT_EQ(e2etest::headerOf(ack), (PacketHeader{Channel::control, 0x28, {}, 0, 0}));
  E2EAck record = RawPacket::decode(ack).decodePayload<E2EAck>();
  EXPECT_EQ(record.hostID, identity->hostID().bytes);
  EXPECT_EQ(record.sigPub, identity->signingPublicKey());

  std::vector<std::string> lines;
  tavlo::Uuid seenId;
  auto verify = [&](const tavlo::Uuid& id, ByteView, const tavlo::LogSink&) {
    seenId = id;
    return true;
  };
  auto result = client->judgeAck(ack, verify, [&](const std::string& line) { lines.push_back(line); });
  ASSERT_EQ(result.verdict, E2EClientHandshake::Verdict::keyed);
  EXPECT_EQ(*result.key, outcome.answer->key);
  EXPECT_EQ(seenId, identity->hostID());
  EXPECT_TRUE(lines.empty());
}

TEST(E2EHandshake, TheHostAnswersOnlyWhatPassesItsChecks) {
  auto identity = memoryIdentity();
  auto stranger = memoryIdentity("another-machine");
  Bytes hostKey = e2etest::publicKeyOf(*identity), strangerKey = e2etest::publicKeyOf(*stranger);

  auto withMac = [&](ByteView key) { return E2EClientHandshake::start(Bytes(key.begin(), key.end()))->helloPacket(); };
  auto zeroEph = [&] {
    E2EHello hello;  // all-zero key and nonce
    hello.gateMac = *E2ECrypto::gateMac(hostKey, hello.ephPub, hello.nonce);
    return encodePacket(hello, 0, 0);
  };
  auto lowOrderEph = [&] {
    E2EHello hello;
    hello.ephPub[0] = 1;  // u = 1: a point of order 1
    hello.gateMac = *E2ECrypto::gateMac(hostKey, hello.ephPub, hello.nonce);
    return encodePacket(hello, 0, 0);
  };
  const std::string gateLine = "🔒 odrzucono nieautoryzowane połączenie (brak/zły klucz bramki) — cisza";
  const std::string ephLine = "🔐 ❌ E2E_HELLO: zła efemeryda klienta";
  struct Row {
    Bytes packet;
    bool requireSecure;
    bool consumed, answered;
    std::optional<std::string> line;
    const char* why;
  } rows[] = {
      {withMac(hostKey), true, true, true, std::nullopt, "the right gate MAC"},
      {E2EClientHandshake::start(std::nullopt)->helloPacket(), true, true, false, gateLine, "no gate MAC"},
      {withMac(strangerKey), true, true, false, gateLine, "a MAC made with another host's key"},
      {E2EClientHandshake::start(std::nullopt)->helloPacket(), false, true, true, std::nullopt,
       "no MAC, gate not required"},
      {zeroEph(), true, true, false, ephLine, "an all-zero client key"},
      {lowOrderEph(), true, true, false, ephLine, "a low-order client key: the secret would be zero"},
      {e2etest::packet(Channel::control, ControlType::clientHello, 40), true, false, false, std::nullopt,
       "a ClientHello is ordinary traffic"},
      {e2etest::packet(Channel::control, ControlType::e2eHello, 47), true, false, false, std::nullopt,
       "a hello 1 byte short does not decode"},
      {e2etest::packet(Channel::inputReliable, ControlType::e2eHello, 80), true, false, false, std::nullopt,
       "type 0x27 on another channel"},
      {Bytes{1, 2, 3}, true, false, false, std::nullopt, "no header"},
  };
  for (const auto& row : rows) {
    auto outcome = E2EHostHandshake::respond(*identity, row.requireSecure, row.packet);
    EXPECT_EQ(outcome.consumed, row.consumed) << row.why;
    EXPECT_EQ(outcome.answer.has_value(), row.answered) << row.why;
    EXPECT_EQ(outcome.logLine, row.line) << row.why;
  }
}

TEST(E2EHandshake, TheClientChecksSignatureThenIdentityThenKeyAgreement) {
  auto identity = memoryIdentity();
  auto client = E2EClientHandshake::start(std::nullopt);
  Bytes goodAck = E2EHostHandshake::respond(*identity, false, client->helloPacket()).answer->ackPacket;
  ByteView helloPayload = ByteView(client->helloPacket()).subspan(16);

  auto forged = [&](auto change) {
    E2EAck ack = RawPacket::decode(goodAck).decodePayload<E2EAck>();
    change(ack);
    return encodePacket(ack, 0, 0);
  };
  // A low-order host key with a valid signature: the signature passes, the key agreement must not.
  auto lowOrderSigned = [&] {
    E2EAck ack = RawPacket::decode(goodAck).decodePayload<E2EAck>();
    ack.ephPub.fill(0);
    Bytes transcript = E2ECrypto::transcript(helloPayload.first(32), helloPayload.subspan(32, 16), ack.ephPub);
    ack.signature = *identity->sign(transcript);
    return encodePacket(ack, 0, 0);
  };
  auto otherSession = E2EHostHandshake::respond(*identity, false, E2EClientHandshake::start(std::nullopt)->helloPacket());

  const std::string badSignature = "🔐 ❌ podpis ACK nieprawidłowy — plaintext + zgłoszenie";
  using V = E2EClientHandshake::Verdict;
  struct Row { Bytes packet; bool trusted; V verdict; std::vector<std::string> lines; const char* why; } rows[] = {
      {goodAck, true, V::keyed, {}, "a valid answer"},
      {goodAck, false, V::refused, {"verify: refused"}, "verify refuses the host: its line only"},
      {forged([](E2EAck& a) { a.signature[0] ^= 1; }), true, V::refused, {badSignature}, "signature damaged"},
      {forged([](E2EAck& a) { a.ephPub[3] ^= 1; }), true, V::refused, {badSignature}, "host key swapped"},
      {forged([](E2EAck& a) { a.sigPub.fill(0); }), true, V::refused, {badSignature}, "no valid signing key"},
      {otherSession.answer->ackPacket, true, V::refused, {badSignature}, "an answer to another client's hello"},
      {lowOrderSigned(), true, V::refused, {"🔐 ❌ ECDH"}, "a signed low-order host key"},
      {e2etest::packet(Channel::control, ControlType::hostHello, 30), true, V::notAck, {}, "a HostHello"},
      {e2etest::packet(Channel::control, ControlType::e2eAck, 143), true, V::notAck, {}, "an ack 1 byte short"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> lines;
    tavlo::LogSink log = [&](const std::string& line) { lines.push_back(line); };
    bool called = false;
    auto verify = [&](const tavlo::Uuid&, ByteView, const tavlo::LogSink& sink) {
      called = true;
      if (!row.trusted) sink("verify: refused");
      return row.trusted;
    };
    auto result = client->judgeAck(row.packet, verify, log);
    EXPECT_EQ(result.verdict, row.verdict) << row.why;
    EXPECT_EQ(result.key.has_value(), row.verdict == V::keyed) << row.why;
    EXPECT_EQ(lines, row.lines) << row.why;
    if (!lines.empty() && lines[0] == badSignature) {
      EXPECT_FALSE(called) << row.why << ": an unsigned identity never reaches verify";
    }
  }
}

}  // namespace
}  // namespace vela
