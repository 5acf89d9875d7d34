#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/runtime/checked_number.hpp"
#include "platform/runtime/random.hpp"

namespace tavlo {
namespace {

TEST(CheckedNumber, TruncationRefusesWhatDoesNotFit) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(truncateChecked<int64_t>(2.9), 2);
  EXPECT_EQ(truncateChecked<int64_t>(-2.9), -2);
  EXPECT_EQ(truncateChecked<int64_t>(std::nan("")), std::nullopt);
  EXPECT_EQ(truncateChecked<int64_t>(inf), std::nullopt);
  EXPECT_EQ(truncateChecked<int64_t>(9223372036854775808.0), std::nullopt);
  EXPECT_EQ(truncateChecked<int64_t>(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(truncateChecked<uint8_t>(255.99), 255);
  EXPECT_EQ(truncateChecked<uint8_t>(256.0), std::nullopt);
  EXPECT_EQ(truncateChecked<uint32_t>(-0.5), 0u) << "truncates toward zero before the range check";
  EXPECT_EQ(truncateChecked<uint32_t>(-1.0), std::nullopt);
}

TEST(CheckedNumber, SaturatingForms) {
  EXPECT_EQ(truncateSaturating<int32_t>(1e20), INT32_MAX);
  EXPECT_EQ(truncateSaturating<int32_t>(-1e20), INT32_MIN);
  EXPECT_EQ(truncateSaturating<int32_t>(std::nan(""), 7), 7);
  EXPECT_EQ(roundChecked<int>(2.5), 3) << "halves away from zero";
  EXPECT_EQ(roundChecked<int>(-2.5), -3);
  EXPECT_EQ(saturatingMul(INT64_MAX / 2, 3), INT64_MAX);
  EXPECT_EQ(saturatingMul(INT64_MIN, 2), INT64_MIN);
  EXPECT_EQ(saturatingAdd(INT64_MAX, 1), INT64_MAX);
  EXPECT_EQ(saturatingMul(1920LL * 1080, 120), 248'832'000);
}

TEST(Random, SeededRandomIsRepeatableAndBounded) {
  SeededRandom a(42), b(42), c(43);
  EXPECT_EQ(a.bytes(37), b.bytes(37));
  EXPECT_NE(a.nextU64(), c.nextU64());
  for (int i = 0; i < 1000; ++i) {
    EXPECT_LT(a.below(7), 7u);
    double u = a.unit();
    EXPECT_GE(u, 0.0);
    EXPECT_LT(u, 1.0);
  }
  EXPECT_EQ(a.below(0), 0u);
}

TEST(Random, SystemRandomFillsEveryByte) {
  // 64 zero bytes from a CSPRNG would be a 2^-512 event.
  Bytes bytes = SystemRandom::shared().bytes(64);
  EXPECT_NE(bytes, Bytes(64, 0));
}

}  // namespace
}  // namespace tavlo
