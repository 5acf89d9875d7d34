// Known answers computed outside this code (tests/e2e/vectors/make_handshake_vectors.py, with another
// crypto binding): a change to the gate MAC, the transcript, the key derivation or the envelope that both
// ends of our own code would share still fails here, as it would fail against every deployed client.
#include <gtest/gtest.h>

#include "e2e/e2e_crypto.hpp"
#include "e2e/e2e_envelope.hpp"
#include "e2e/e2e_host_handshake.hpp"
#include "e2e/e2e_identity.hpp"
#include "e2e/e2e_messages.hpp"
#include "platform/crypto/ed25519.hpp"
#include "platform/crypto/x25519.hpp"
#include "tests/e2e/e2e_test_support.hpp"
#include "tests/e2e/handshake_vectors.hpp"
#include "tests/testkit/hex.hpp"

namespace vela {
namespace {

using tavlo::testkit::fromHex;
using tavlo::testkit::toHex;

template <typename Array>
Bytes bytesOf(const Array& array) {
  return Bytes(array.begin(), array.end());
}

// The identity a host would load from its secret store holding `seed` as its signing key.
std::shared_ptr<const E2EIdentity> identityWithSeed(const Bytes& seed) {
  tavlo::MemorySecretStore secrets;
  tavlo::Settings settings;
  Bytes stored(16, 0x11);  // any host id: the key is what the handshake uses
  stored.insert(stored.end(), seed.begin(), seed.end());
  secrets.write(E2EIdentity::keychainService(), std::string(E2EIdentity::keychainAccount), stored);
  return E2EIdentity::load({secrets, settings, std::nullopt, [] { return std::optional<std::string>("kat-machine"); }});
}

class HandshakeKnownAnswers : public ::testing::TestWithParam<e2etest::HandshakeVector> {};

TEST_P(HandshakeKnownAnswers, GateMacTranscriptSignatureAndSessionKeyMatchTheIndependentComputation) {
  const auto& v = GetParam();
  auto signer = tavlo::crypto::Ed25519PrivateKey::fromSeed(fromHex(v.hostSeed));
  ASSERT_TRUE(signer);
  EXPECT_EQ(toHex(bytesOf(signer->publicKey())), toHex(fromHex(v.hostSigPub)));
  auto client = tavlo::crypto::X25519PrivateKey::fromRaw(fromHex(v.clientEphPrivate));
  auto host = tavlo::crypto::X25519PrivateKey::fromRaw(fromHex(v.hostEphPrivate));
  ASSERT_TRUE(client && host);
  EXPECT_EQ(toHex(bytesOf(client->publicKey())), toHex(fromHex(v.clientEphPublic)));
  EXPECT_EQ(toHex(bytesOf(host->publicKey())), toHex(fromHex(v.hostEphPublic)));

  Bytes nonce = fromHex(v.nonce);
  auto mac = E2ECrypto::gateMac(fromHex(v.hostSigPub), fromHex(v.clientEphPublic), nonce);
  ASSERT_TRUE(mac);
  EXPECT_EQ(toHex(bytesOf(*mac)), toHex(fromHex(v.gateMac)));
  EXPECT_TRUE(E2ECrypto::isValidGateMac(fromHex(v.gateMac), fromHex(v.hostSigPub), fromHex(v.clientEphPublic), nonce));

  Bytes transcript = E2ECrypto::transcript(fromHex(v.clientEphPublic), nonce, fromHex(v.hostEphPublic));
  EXPECT_EQ(toHex(transcript), toHex(fromHex(v.transcript)));
  auto signature = signer->sign(transcript);
  ASSERT_TRUE(signature);
  EXPECT_EQ(toHex(bytesOf(*signature)), toHex(fromHex(v.signature))) << "Ed25519 is deterministic";

  // Both ends of the agreement reach the same key, and it is the one computed outside.
  for (const auto& [own, peer] : {std::pair{&*client, v.hostEphPublic}, std::pair{&*host, v.clientEphPublic}}) {
    auto shared = own->sharedSecret(fromHex(peer));
    ASSERT_TRUE(shared);
    auto key = E2ECrypto::sessionKey(*shared, nonce);
    ASSERT_TRUE(key);
    EXPECT_EQ(toHex(key->view()), toHex(fromHex(v.sessionKey)));
  }
}

TEST_P(HandshakeKnownAnswers, TheEnvelopeSealsAndOpensAsTheIndependentCipherDoes) {
  const auto& v = GetParam();
  auto key = tavlo::crypto::SymmetricKey::fromBytes(fromHex(v.sessionKey));
  ASSERT_TRUE(key);
  E2EEnvelope::Nonce nonce{};
  Bytes nonceBytes = fromHex(v.envelopeNonce);
  ASSERT_EQ(nonceBytes.size(), nonce.size());
  std::copy(nonceBytes.begin(), nonceBytes.end(), nonce.begin());
  auto sealed = E2EEnvelope::seal(fromHex(v.packet), *key, nonce);
  ASSERT_TRUE(sealed);
  EXPECT_EQ(toHex(*sealed), toHex(fromHex(v.envelope)));
  auto opened = E2EEnvelope::open(fromHex(v.envelope), *key);
  ASSERT_TRUE(opened);
  EXPECT_EQ(toHex(*opened), toHex(fromHex(v.packet)));
}

// The host's half as a whole: it takes the hello a client makes from the vector's inputs, and its answer
// is signed and keyed exactly as the independent computation says a client will check it.
TEST_P(HandshakeKnownAnswers, TheHostAnswersTheVectorsHelloWithASignatureAndKeyAClientAccepts) {
  const auto& v = GetParam();
  auto identity = identityWithSeed(fromHex(v.hostSeed));
  ASSERT_EQ(toHex(e2etest::publicKeyOf(*identity)), toHex(fromHex(v.hostSigPub)));
  E2EHello hello;
  Bytes clientPub = fromHex(v.clientEphPublic), nonce = fromHex(v.nonce), mac = fromHex(v.gateMac);
  std::copy(clientPub.begin(), clientPub.end(), hello.ephPub.begin());
  std::copy(nonce.begin(), nonce.end(), hello.nonce.begin());
  hello.gateMac.emplace();
  std::copy(mac.begin(), mac.end(), hello.gateMac->begin());

  auto outcome = E2EHostHandshake::respond(*identity, /*requireSecure=*/true, encodePacket(hello, 0, 0));
  ASSERT_TRUE(outcome.consumed);
  ASSERT_TRUE(outcome.answer) << outcome.logLine.value_or("");
  const Bytes& ackPacket = outcome.answer->ackPacket;
  ASSERT_EQ(ackPacket.size(), 160u);
  ByteView ack = ByteView(ackPacket).subspan(PacketHeader::byteCount);
  ByteView hostEph = ack.subspan(48, 32);
  EXPECT_EQ(toHex(ack.subspan(16, 32)), toHex(fromHex(v.hostSigPub)));

  // The transcript spelled out from its definition, not through our helper.
  Bytes transcript(E2ECrypto::info.begin(), E2ECrypto::info.end());
  transcript.insert(transcript.end(), clientPub.begin(), clientPub.end());
  transcript.insert(transcript.end(), nonce.begin(), nonce.end());
  transcript.insert(transcript.end(), hostEph.begin(), hostEph.end());
  EXPECT_TRUE(tavlo::crypto::isValidEd25519Signature(fromHex(v.hostSigPub), transcript, ack.subspan(80, 64)));

  auto client = tavlo::crypto::X25519PrivateKey::fromRaw(fromHex(v.clientEphPrivate));
  auto shared = client->sharedSecret(hostEph);
  ASSERT_TRUE(shared);
  auto clientKey = E2ECrypto::sessionKey(*shared, nonce);  // checked against the vector above
  ASSERT_TRUE(clientKey);
  EXPECT_EQ(toHex(clientKey->view()),
            toHex(outcome.answer->key.view()));

  // A MAC one bit off is refused while the host requires it.
  hello.gateMac->at(0) ^= 1;
  auto refused = E2EHostHandshake::respond(*identity, true, encodePacket(hello, 0, 0));
  EXPECT_TRUE(refused.consumed);
  EXPECT_FALSE(refused.answer);
}

INSTANTIATE_TEST_SUITE_P(Vectors, HandshakeKnownAnswers, ::testing::ValuesIn(e2etest::handshakeVectors),
                         [](const auto& info) { return std::string(info.index == 0 ? "FixedInputs" : "RfcTestKeys"); });

}  // namespace
}  // namespace vela
