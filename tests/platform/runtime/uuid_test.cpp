#include <gtest/gtest.h>

#include "platform/runtime/uuid.hpp"

namespace tavlo {
namespace {

TEST(Uuid, ParsesEitherCaseAndPrintsUpperCase) {
  auto id = Uuid::parse("0123abcd-4567-89EF-0123-456789abcdef");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->uuidString(), "0123ABCD-4567-89EF-0123-456789ABCDEF");
  EXPECT_EQ(id->bytes[0], 0x01);
  EXPECT_EQ(id->bytes[15], 0xEF);
  EXPECT_EQ(Uuid::parse(id->uuidString()), id);
}

TEST(Uuid, RefusesAnythingButTheCanonicalShape) {
  const char* rows[] = {
      "",
      "0123ABCD-4567-89EF-0123-456789ABCDE",    // 35 characters
      "0123ABCD-4567-89EF-0123-456789ABCDEF0",  // 37 characters
      "0123ABCD4567-89EF-0123-456789ABCDEF0",   // hyphen missing
      "0123ABC-D4567-89EF-0123-456789ABCDEF",   // hyphen moved
      "0123ABCD-4567-89EF-0123-456789ABCDEG",   // not hexadecimal
      "{123ABCD-4567-89EF-0123-456789ABCDEF",
  };
  for (const char* text : rows) EXPECT_FALSE(Uuid::parse(text)) << text;
}

TEST(Uuid, RandomIdentifiersAreVersionFourVariantTen) {
  Uuid a = Uuid::random(), b = Uuid::random();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.version(), 4);
  EXPECT_EQ(a.variantBits(), 0b10);
  EXPECT_FALSE(Uuid::fromBytes(Bytes(15, 0)));
  EXPECT_EQ(Uuid::fromBytes(a.view()), a);
}

}  // namespace
}  // namespace tavlo
