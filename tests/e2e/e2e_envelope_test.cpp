#include <gtest/gtest.h>

#include "e2e/e2e_envelope.hpp"
#include "e2e/seal_nonces.hpp"
#include "platform/crypto/random_bytes.hpp"

namespace vela {
namespace {

SymmetricKey freshKey() { return SymmetricKey(tavlo::crypto::randomArray<32>()); }

Bytes headerOnlyPacket() {
  return {0x54, 0x4C, 0x4B, 0x32, 0x01, 0x04, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
}

TEST(E2EEnvelope, SealsAHeaderInto48BytesUnderAFreshNonceEachTime) {
  SymmetricKey key = freshKey();
  Bytes packet = headerOnlyPacket();
  SealNonces nonces;
  auto a = E2EEnvelope::seal(packet, key, nonces.next()), b = E2EEnvelope::seal(packet, key, nonces.next());
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->size(), 48u);
  EXPECT_TRUE(std::equal(E2EEnvelope::magic.begin(), E2EEnvelope::magic.end(), a->begin()));
  EXPECT_TRUE(E2EEnvelope::isEnvelope(*a));
  EXPECT_EQ(E2EEnvelope::open(*a, key), packet);
  EXPECT_EQ(E2EEnvelope::open(*b, key), packet);
  EXPECT_FALSE(std::equal(a->begin() + 4, a->begin() + 16, b->begin() + 4)) << "nonces differ";
}

TEST(E2EEnvelope, AnyChangedByteOrAnotherKeyFailsToOpen) {
  SymmetricKey key = freshKey();
  Bytes packet(40, 0x11);
  Bytes envelope = *E2EEnvelope::seal(packet, key, tavlo::crypto::randomArray<E2EEnvelope::nonceSize>());
  EXPECT_FALSE(E2EEnvelope::open(envelope, freshKey())) << "another key";
  for (size_t i = 0; i < envelope.size(); ++i) {
    Bytes damaged = envelope;
    damaged[i] ^= 0x01;
    EXPECT_FALSE(E2EEnvelope::open(damaged, key)) << "byte " << i << " flipped";
  }
  EXPECT_FALSE(E2EEnvelope::open(ByteView(envelope).first(envelope.size() - 1), key)) << "tag cut";
}

TEST(E2EEnvelope, ShapeNeedsTheMagicAndOneByteOfCiphertext) {
  SymmetricKey key = freshKey();
  auto emptySealed = E2EEnvelope::seal({}, key, tavlo::crypto::randomArray<E2EEnvelope::nonceSize>());
  ASSERT_TRUE(emptySealed);
  Bytes magic33(33, 0);
  std::copy(E2EEnvelope::magic.begin(), E2EEnvelope::magic.end(), magic33.begin());
  Bytes wrongMagic = magic33;
  wrongMagic[3] = '3';
  struct Row { Bytes data; bool shaped; const char* why; } rows[] = {
      {*emptySealed, false, "an empty packet seals to 32 bytes, which is no envelope and never opens"},
      {magic33, true, "33 bytes behind the magic have the shape even if they do not open"},
      {wrongMagic, false, "magic TLE3"},
      {Bytes(E2EEnvelope::magic.begin(), E2EEnvelope::magic.end()), false, "the magic alone"},
      {headerOnlyPacket(), false, "a plain packet header"},
      {{}, false, "nothing"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(E2EEnvelope::isEnvelope(row.data), row.shaped) << row.why;
    EXPECT_FALSE(E2EEnvelope::open(row.data, key)) << row.why;
  }
}

}  // namespace
}  // namespace vela
