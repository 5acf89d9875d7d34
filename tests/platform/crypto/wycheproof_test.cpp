// Every vector of the Wycheproof suites for the primitives the layer wraps. Each test checks that it
// ran as many vectors as the file announces, so a vector skipped by mistake fails the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/crypto/chacha20_poly1305.hpp"
#include "platform/crypto/ed25519.hpp"
#include "platform/crypto/hkdf_sha256.hpp"
#include "platform/crypto/hmac_sha256.hpp"
#include "platform/crypto/x25519.hpp"
#include "tests/testkit/hex.hpp"

namespace tavlo::crypto {
namespace {

using nlohmann::json;
using testkit::fromHex;

json loadSuite(const std::string& name) {
  std::ifstream in(std::string(TAVLO_SOURCE_DIR) + "/tests/testdata/wycheproof/" + name);
  EXPECT_TRUE(in) << "missing suite " << name;
  return json::parse(in);
}

Bytes hexField(const json& test, const char* field) { return fromHex(test.at(field).get<std::string>()); }

bool hasFlag(const json& test, const char* flag) {
  const auto& flags = test.at("flags");
  return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

std::string describe(const json& test) {
  return "tcId " + std::to_string(test.at("tcId").get<int>()) + " (" + test.at("comment").get<std::string>() + ")";
}

// Calls `check(group, test)` for every test and returns how many ran.
template <class Check>
int forEachTest(const json& suite, Check check) {
  int count = 0;
  for (const auto& group : suite.at("testGroups")) {
    for (const auto& test : group.at("tests")) {
      check(group, test);
      ++count;
    }
  }
  return count;
}

Bytes toVector(ByteView bytes) { return Bytes(bytes.begin(), bytes.end()); }

// Acceptable vectors are computed like valid ones, except those whose shared secret is all zeros: the
// layer refuses them, since such a secret is known to everyone.
TEST(Wycheproof, X25519) {
  json suite = loadSuite("x25519_test.json");
  int ran = forEachTest(suite, [](const json&, const json& test) {
    auto key = X25519PrivateKey::fromRaw(hexField(test, "private"));
    ASSERT_TRUE(key) << describe(test);
    auto shared = key->sharedSecret(hexField(test, "public"));
    std::string result = test.at("result");
    bool mustRefuse = result == "invalid" || (result == "acceptable" && hasFlag(test, "ZeroSharedSecret"));
    if (mustRefuse) {
      EXPECT_FALSE(shared) << describe(test);
    } else {
      ASSERT_TRUE(shared) << describe(test);
      EXPECT_EQ(toVector(shared->view()), hexField(test, "shared")) << describe(test);
    }
  });
  EXPECT_EQ(ran, suite.at("numberOfTests").get<int>());
}

TEST(Wycheproof, Ed25519Verify) {
  json suite = loadSuite("ed25519_test.json");
  int ran = forEachTest(suite, [](const json& group, const json& test) {
    Bytes publicKey = fromHex(group.at("publicKey").at("pk").get<std::string>());
    bool valid = isValidEd25519Signature(publicKey, hexField(test, "msg"), hexField(test, "sig"));
    ASSERT_NE(test.at("result"), "acceptable") << "the suite has no acceptable vectors: " << describe(test);
    EXPECT_EQ(valid, test.at("result") == "valid") << describe(test);
  });
  EXPECT_EQ(ran, suite.at("numberOfTests").get<int>());
}

TEST(Wycheproof, HkdfSha256) {
  json suite = loadSuite("hkdf_sha256_test.json");
  int ran = forEachTest(suite, [](const json&, const json& test) {
    auto okm = hkdfSha256(hexField(test, "ikm"), hexField(test, "salt"), hexField(test, "info"),
                          test.at("size").get<size_t>());
    if (test.at("result") == "valid") {
      ASSERT_TRUE(okm) << describe(test);
      EXPECT_EQ(*okm, hexField(test, "okm")) << describe(test);
    } else {
      EXPECT_FALSE(okm) << describe(test);
    }
  });
  EXPECT_EQ(ran, suite.at("numberOfTests").get<int>());
}

// Groups with 128-bit tags test truncated MACs: the layer computes the full tag and its prefix must
// match; its own check accepts only full 32-byte tags, so a truncated tag never validates.
TEST(Wycheproof, HmacSha256) {
  json suite = loadSuite("hmac_sha256_test.json");
  int ran = forEachTest(suite, [](const json& group, const json& test) {
    Bytes key = hexField(test, "key"), message = hexField(test, "msg"), tag = hexField(test, "tag");
    size_t tagBytes = group.at("tagSize").get<size_t>() / 8;
    ASSERT_EQ(tag.size(), tagBytes) << describe(test);
    auto computed = hmacSha256(key, message);
    ASSERT_TRUE(computed) << describe(test);
    bool prefixMatches = constantTimeEqual(ByteView(*computed).first(tagBytes), tag);
    bool valid = test.at("result") == "valid";
    EXPECT_EQ(prefixMatches, valid) << describe(test);
    EXPECT_EQ(isValidHmacSha256(tag, key, message), valid && tagBytes == 32) << describe(test);
  });
  EXPECT_EQ(ran, suite.at("numberOfTests").get<int>());
}

// Invalid vectors are either damaged tags (open must fail) or nonces of another size than 96 bits
// (both seal and open must refuse them).
TEST(Wycheproof, ChaCha20Poly1305) {
  json suite = loadSuite("chacha20_poly1305_test.json");
  int ran = forEachTest(suite, [](const json&, const json& test) {
    auto key = SymmetricKey::fromBytes(hexField(test, "key"));
    ASSERT_TRUE(key) << describe(test);
    Bytes nonce = hexField(test, "iv"), aad = hexField(test, "aad"), message = hexField(test, "msg");
    Bytes sealed = hexField(test, "ct");
    Bytes tag = hexField(test, "tag");
    sealed.insert(sealed.end(), tag.begin(), tag.end());

    // Vectors of other nonce sizes may carry no tag at all.
    Bytes opened(sealed.size() - std::min(sealed.size(), ChaCha20Poly1305::tagSize));
    bool openedOk = ChaCha20Poly1305::open(*key, nonce, sealed, opened, aad);
    Bytes resealed(message.size() + ChaCha20Poly1305::tagSize);
    bool sealedOk = ChaCha20Poly1305::seal(*key, nonce, message, resealed, aad);
    if (test.at("result") == "valid") {
      ASSERT_TRUE(openedOk) << describe(test);
      EXPECT_EQ(opened, message) << describe(test);
      ASSERT_TRUE(sealedOk) << describe(test);
      EXPECT_EQ(resealed, sealed) << describe(test);
    } else {
      EXPECT_FALSE(openedOk) << describe(test);
      if (hasFlag(test, "InvalidNonceSize")) {
        EXPECT_FALSE(sealedOk) << describe(test);
      }
    }
  });
  EXPECT_EQ(ran, suite.at("numberOfTests").get<int>());
}

}  // namespace
}  // namespace tavlo::crypto
