// The published reference vectors of each primitive, and the layer's own rules around them (lengths,
// degenerate keys, constant-time checks, in-place sealing).
#include <gtest/gtest.h>

#include "platform/crypto/chacha20_poly1305.hpp"
#include "platform/crypto/ed25519.hpp"
#include "platform/crypto/hkdf_sha256.hpp"
#include "platform/crypto/hmac_sha256.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/crypto/x25519.hpp"
#include "tests/testkit/hex.hpp"

namespace tavlo::crypto {
namespace {

using testkit::fromHex;

Bytes toVector(ByteView bytes) { return Bytes(bytes.begin(), bytes.end()); }

TEST(X25519, MatchesTheRfc7748Vectors) {
  struct Row { const char* scalar; const char* peer; const char* shared; const char* why; } rows[] = {
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

// Low-order peers (an all-zero secret) are refused in the Wycheproof run; here the lengths.
TEST(X25519, RefusesKeysOfTheWrongLength) {
  auto key = X25519PrivateKey::generate();
  ASSERT_TRUE(key);
  for (size_t size : {0, 31, 33}) EXPECT_FALSE(key->sharedSecret(Bytes(size, 9))) << size << "-byte peer key";
  EXPECT_FALSE(X25519PrivateKey::fromRaw(Bytes(31, 1)));
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
  EXPECT_FALSE(Ed25519PrivateKey::fromSeed(Bytes(33, 0))) << "a seed is 32 bytes";
}

// Damaged signatures are Wycheproof's; a signature made with a fresh key checks only under that key.
TEST(Ed25519, ASignatureFailsUnderAnotherKeyOrAKeyOfTheWrongLength) {
  auto key = Ed25519PrivateKey::generate();
  ASSERT_TRUE(key);
  Bytes message = toBytes("TL2-E2E-v1 transcript");
  Bytes sig = toVector(*key->sign(message));
  Bytes pub = toVector(key->publicKey());
  ASSERT_TRUE(isValidEd25519Signature(pub, message, sig));
  EXPECT_FALSE(isValidEd25519Signature(toVector(Ed25519PrivateKey::generate()->publicKey()), message, sig));
  EXPECT_FALSE(isValidEd25519Signature(ByteView(pub).first(31), message, sig)) << "31-byte key";
}

// Damaged and truncated tags are Wycheproof's.
TEST(HmacSha256, MatchesRfc4231CaseTwo) {
  Bytes key = toBytes("Jefe");
  Bytes message = toBytes("what do ya want for nothing?");
  Bytes expected = fromHex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  auto tag = hmacSha256(key, message);
  ASSERT_TRUE(tag);
  EXPECT_EQ(toVector(*tag), expected);
  EXPECT_TRUE(isValidHmacSha256(expected, key, message));
  EXPECT_FALSE(isValidHmacSha256({}, key, message)) << "no tag";
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

TEST(ChaCha20Poly1305, MatchesTheRfc8439AeadVectorBothWaysAndInPlace) {
  AeadVector v;
  Bytes sealed(v.plaintext.size() + ChaCha20Poly1305::tagSize);
  ASSERT_TRUE(ChaCha20Poly1305::seal(v.key, v.nonce, v.plaintext, sealed, v.aad));
  EXPECT_EQ(sealed, v.sealed);
  Bytes opened(v.plaintext.size());
  ASSERT_TRUE(ChaCha20Poly1305::open(v.key, v.nonce, v.sealed, opened, v.aad));
  EXPECT_EQ(opened, v.plaintext);
  EXPECT_FALSE(ChaCha20Poly1305::open(v.key, v.nonce, v.sealed, opened)) << "the associated data is authenticated";

  Bytes inPlace = v.plaintext;
  inPlace.resize(v.plaintext.size() + ChaCha20Poly1305::tagSize);
  ASSERT_TRUE(ChaCha20Poly1305::seal(v.key, v.nonce, ByteView(inPlace.data(), v.plaintext.size()), inPlace, v.aad));
  EXPECT_EQ(inPlace, v.sealed) << "sealed in place";
}

// Damaged tags and nonces of other sizes are Wycheproof's; these are the buffer rules of the layer itself.
TEST(ChaCha20Poly1305, RefusesBuffersOfTheWrongSize) {
  AeadVector v;
  Bytes out(v.plaintext.size() - 1);
  EXPECT_FALSE(ChaCha20Poly1305::open(v.key, v.nonce, v.sealed, out, v.aad)) << "output one byte short";
  Bytes none;
  EXPECT_FALSE(ChaCha20Poly1305::open(v.key, v.nonce, ByteView(v.sealed).first(15), none, v.aad)) << "shorter than a tag";
  Bytes sealed(v.plaintext.size() + ChaCha20Poly1305::tagSize - 1);
  EXPECT_FALSE(ChaCha20Poly1305::seal(v.key, v.nonce, v.plaintext, sealed)) << "room for the tag one byte short";
}

}  // namespace
}  // namespace tavlo::crypto
