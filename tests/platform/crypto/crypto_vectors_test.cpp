// The published reference vectors of each primitive, and the layer's own rules around them (lengths,
// degenerate keys, constant-time checks, in-place sealing).
#include <gtest/gtest.h>

#include "platform/crypto/chacha20_poly1305.hpp"
#include "platform/crypto/ed25519.hpp"
#include "platform/crypto/hkdf_sha256.hpp"
#include "platform/crypto/hmac_sha256.hpp"
#include "platform/crypto/random_bytes.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/crypto/x25519.hpp"
#include "tests/testkit/hex.hpp"

namespace tavlo::crypto {
namespace {

using testkit::fromHex;

Bytes toVector(ByteView bytes) { return Bytes(bytes.begin(), bytes.end()); }

TEST(X25519, MatchesTheRfc7748Vectors) {
  struct Row {
    const char* scalar;
    const char* peer;
    const char* shared;
    const char* why;
  } rows[] = {
      {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
       "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552", "section 5.2, first vector"},
      {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
       "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
       "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957",
       "section 5.2, second vector: the peer's top bit is set and must be ignored"},
      {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
       "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f",
       "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742", "section 6.1, Alice's side"},
      {"5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
       "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a",
       "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742", "section 6.1, Bob's side"},
  };
  for (const auto& row : rows) {
    auto key = X25519PrivateKey::fromRaw(fromHex(row.scalar));
    ASSERT_TRUE(key) << row.why;
    auto shared = key->sharedSecret(fromHex(row.peer));
    ASSERT_TRUE(shared) << row.why;
    EXPECT_EQ(toVector(shared->view()), fromHex(row.shared)) << row.why;
  }
  auto alice = X25519PrivateKey::fromRaw(fromHex(rows[2].scalar));
  EXPECT_EQ(toVector(alice->publicKey()), fromHex(rows[3].peer)) << "Alice's public key, section 6.1";
}

TEST(X25519, RefusesKeysOfTheWrongLengthAndLowOrderPeers) {
  auto key = X25519PrivateKey::generate();
  ASSERT_TRUE(key);
  struct Row {
    Bytes peer;
    const char* why;
  } rows[] = {
      {Bytes(32, 0), "the all-zero point: every secret would be zero"},
      {fromHex("0100000000000000000000000000000000000000000000000000000000000000"), "u = 1, order 1"},
      {fromHex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"), "a point of order 8"},
      {Bytes(31, 9), "31 bytes"},
      {Bytes(33, 9), "33 bytes"},
      {Bytes{}, "empty"},
  };
  for (const auto& row : rows) EXPECT_FALSE(key->sharedSecret(row.peer)) << row.why;
  EXPECT_FALSE(X25519PrivateKey::fromRaw(Bytes(31, 1)));
}

TEST(X25519, TwoFreshKeyPairsAgreeOnTheSameSecret) {
  auto a = X25519PrivateKey::generate();
  auto b = X25519PrivateKey::generate();
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->publicKey(), b->publicKey());
  auto ab = a->sharedSecret(b->publicKey());
  auto ba = b->sharedSecret(a->publicKey());
  ASSERT_TRUE(ab && ba);
  EXPECT_EQ(*ab, *ba);
}

TEST(Ed25519, MatchesRfc8032TestOne) {
  auto key = Ed25519PrivateKey::fromSeed(fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"));
  ASSERT_TRUE(key);
  Bytes publicKey = fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  Bytes expected = fromHex(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24"
      "655141438e7a100b");
  EXPECT_EQ(toVector(key->publicKey()), publicKey);
  auto signature = key->sign({});
  ASSERT_TRUE(signature);
  EXPECT_EQ(toVector(*signature), expected);
  EXPECT_TRUE(isValidEd25519Signature(publicKey, {}, expected));
}

TEST(Ed25519, ASignatureFailsForAnyChangeOrMalformedInput) {
  auto key = Ed25519PrivateKey::generate();
  ASSERT_TRUE(key);
  Bytes message = toBytes("TL2-E2E-v1 transcript");
  auto signature = key->sign(message);
  ASSERT_TRUE(signature);
  Bytes sig = toVector(*signature);
  Bytes pub = toVector(key->publicKey());
  ASSERT_TRUE(isValidEd25519Signature(pub, message, sig));

  Bytes otherMessage = message;
  otherMessage.back() ^= 1;
  Bytes flippedSig = sig;
  flippedSig[10] ^= 0x40;
  Bytes otherKey = toVector(Ed25519PrivateKey::generate()->publicKey());
  struct Row {
    Bytes publicKey, message, signature;
    const char* why;
  } rows[] = {
      {pub, otherMessage, sig, "message changed"},
      {pub, message, flippedSig, "signature changed"},
      {otherKey, message, sig, "another key"},
      {pub, message, Bytes(sig.begin(), sig.end() - 1), "63-byte signature"},
      {Bytes(pub.begin(), pub.end() - 1), message, sig, "31-byte key"},
      {pub, message, Bytes(64, 0), "all-zero signature"},
  };
  for (const auto& row : rows) EXPECT_FALSE(isValidEd25519Signature(row.publicKey, row.message, row.signature)) << row.why;
}

TEST(Ed25519, AKeyRoundTripsThroughItsSeedAndSignsDeterministically) {
  auto key = Ed25519PrivateKey::generate();
  ASSERT_TRUE(key);
  auto again = Ed25519PrivateKey::fromSeed(key->seed().view());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->publicKey(), key->publicKey());
  EXPECT_EQ(again->sign(toBytes("x")), key->sign(toBytes("x")));
  EXPECT_NE(Ed25519PrivateKey::generate()->publicKey(), key->publicKey());
  EXPECT_FALSE(Ed25519PrivateKey::fromSeed(Bytes(33, 0)));
}

TEST(HmacSha256, MatchesRfc4231CaseTwoAndChecksOnlyFullTags) {
  Bytes key = toBytes("Jefe");
  Bytes message = toBytes("what do ya want for nothing?");
  Bytes expected = fromHex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  auto tag = hmacSha256(key, message);
  ASSERT_TRUE(tag);
  EXPECT_EQ(toVector(*tag), expected);

  Bytes flipped = expected;
  flipped[31] ^= 1;
  struct Row {
    Bytes tag;
    bool valid;
    const char* why;
  } rows[] = {
      {expected, true, "the tag itself"},
      {flipped, false, "last bit changed"},
      {Bytes(expected.begin(), expected.begin() + 16), false, "a truncated tag never passes"},
      {Bytes{}, false, "no tag"},
      {Bytes(32, 0), false, "zeros"},
  };
  for (const auto& row : rows) EXPECT_EQ(isValidHmacSha256(row.tag, key, message), row.valid) << row.why;
  EXPECT_TRUE(hmacSha256({}, message)) << "an empty key is allowed";
}

TEST(HkdfSha256, MatchesRfc5869CaseOneAndRefusesTooLongOutputs) {
  Bytes ikm(22, 0x0b);
  Bytes salt = fromHex("000102030405060708090a0b0c");
  Bytes info = fromHex("f0f1f2f3f4f5f6f7f8f9");
  auto okm = hkdfSha256(ikm, salt, info, 42);
  ASSERT_TRUE(okm);
  EXPECT_EQ(*okm, fromHex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"));
  EXPECT_EQ(hkdfSha256(ikm, salt, info, hkdfSha256MaxOutput)->size(), hkdfSha256MaxOutput);
  EXPECT_FALSE(hkdfSha256(ikm, salt, info, hkdfSha256MaxOutput + 1));
  EXPECT_EQ(hkdfSha256(ikm, {}, info, 32), hkdfSha256(ikm, Bytes(32, 0), info, 32))
      << "an empty salt is a block of zeros";
}

TEST(Sha256, MatchesTheFips180Vectors) {
  EXPECT_EQ(toVector(*sha256(toBytes("abc"))),
            fromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(toVector(*sha256({})), fromHex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
}

struct AeadVector {
  SymmetricKey key = *SymmetricKey::fromBytes(fromHex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"));
  Bytes nonce = fromHex("070000004041424344454647");
  Bytes aad = fromHex("50515253c0c1c2c3c4c5c6c7");
  Bytes plaintext = toBytes(
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would "
      "be it.");
  Bytes sealed = fromHex(
      "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a9e060b"
      "2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d26586ce"
      "c64b6116"
      "1ae10b594f09e26a7e902ecbd0600691");
};

TEST(ChaCha20Poly1305, MatchesTheRfc8439AeadVectorBothWays) {
  AeadVector v;
  Bytes sealed(v.plaintext.size() + ChaCha20Poly1305::tagSize);
  ASSERT_TRUE(ChaCha20Poly1305::seal(v.key, v.nonce, v.plaintext, sealed, v.aad));
  EXPECT_EQ(sealed, v.sealed);
  Bytes opened(v.plaintext.size());
  ASSERT_TRUE(ChaCha20Poly1305::open(v.key, v.nonce, v.sealed, opened, v.aad));
  EXPECT_EQ(opened, v.plaintext);
  EXPECT_FALSE(ChaCha20Poly1305::open(v.key, v.nonce, v.sealed, opened)) << "the associated data is authenticated";
}

TEST(ChaCha20Poly1305, SealsInPlace) {
  AeadVector v;
  Bytes buffer = v.plaintext;
  buffer.resize(v.plaintext.size() + ChaCha20Poly1305::tagSize);
  ASSERT_TRUE(ChaCha20Poly1305::seal(v.key, v.nonce, ByteView(buffer.data(), v.plaintext.size()), buffer, v.aad));
  EXPECT_EQ(buffer, v.sealed);
}

TEST(ChaCha20Poly1305, RefusesWrongSizesAndDamagedInput) {
  AeadVector v;
  Bytes out(v.plaintext.size());
  Bytes wrongNonce(8, 0);
  Bytes damaged = v.sealed;
  damaged[5] ^= 1;
  Bytes damagedTag = v.sealed;
  damagedTag.back() ^= 0x80;
  struct Row {
    ByteView nonce;
    ByteView sealed;
    size_t outSize;
    const char* why;
  } rows[] = {
      {wrongNonce, v.sealed, out.size(), "8-byte nonce"},
      {v.nonce, damaged, out.size(), "a ciphertext bit flipped"},
      {v.nonce, damagedTag, out.size(), "a tag bit flipped"},
      {v.nonce, ByteView(v.sealed).first(15), 0, "shorter than a tag"},
      {v.nonce, v.sealed, out.size() - 1, "output one byte short"},
  };
  for (const auto& row : rows) {
    Bytes buffer(row.outSize);
    EXPECT_FALSE(ChaCha20Poly1305::open(v.key, row.nonce, row.sealed, buffer, v.aad)) << row.why;
  }
  Bytes sealed(v.plaintext.size() + ChaCha20Poly1305::tagSize);
  EXPECT_FALSE(ChaCha20Poly1305::seal(v.key, wrongNonce, v.plaintext, sealed));
  EXPECT_FALSE(ChaCha20Poly1305::seal(v.key, v.nonce, v.plaintext, std::span(sealed).first(sealed.size() - 1)));
}

TEST(ChaCha20Poly1305, AnEmptyPlaintextSealsToATagThatOpens) {
  AeadVector v;
  Bytes tag(ChaCha20Poly1305::tagSize);
  ASSERT_TRUE(ChaCha20Poly1305::seal(v.key, v.nonce, {}, tag));
  Bytes nothing;
  EXPECT_TRUE(ChaCha20Poly1305::open(v.key, v.nonce, tag, nothing));
}

TEST(Random, FillsWithFreshBytesEachTime) {
  auto a = randomArray<32>();
  auto b = randomArray<32>();
  EXPECT_NE(a, b);
  EXPECT_NE(a, (std::array<uint8_t, 32>{}));
}

}  // namespace
}  // namespace tavlo::crypto
