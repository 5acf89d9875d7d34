#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/hevc_nal_units.hpp"
#include "tests/testkit/hex.hpp"

namespace vela {
namespace {

using tavlo::testkit::fromHex;
using tavlo::testkit::toHex;

std::vector<std::string> hexUnits(const std::vector<ByteView>& units) {
  std::vector<std::string> out;
  for (ByteView unit : units) out.push_back(toHex(unit));
  return out;
}

TEST(HEVCNalUnits, SplitAnnexBFindsEveryUnitBetweenStartCodes) {
  struct Row { const char* why; const char* stream; std::vector<std::string> units; };
  const Row rows[] = {
      {"four-byte start codes", "00 00 00 01 40 01 0C 00 00 00 01 42 01", {"40 01 0C", "42 01"}},
      {"three-byte start codes", "00 00 01 40 01 00 00 01 44 01", {"40 01", "44 01"}},
      {"zero bytes between units belong to neither", "00 00 01 40 01 00 00 00 00 00 01 44 01 00 00", {"40 01", "44 01"}},
      {"bytes before the first start code are no unit", "12 34 00 00 01 26 01 AF", {"26 01 AF"}},
      {"an empty unit is left out", "00 00 01 00 00 01 26 01", {"26 01"}},
      {"a start code at the very end opens nothing", "00 00 01 26 01 00 00 01", {"26 01"}},
      {"emulation-prevented zeros stay inside the unit", "00 00 01 26 01 00 00 03 00 00 03 01 7F", {"26 01 00 00 03 00 00 03 01 7F"}},
      {"no start code: no unit", "26 01 AF 00 00", {}},
      {"empty input", "", {}},
  };
  for (const Row& row : rows) {
    Bytes stream = fromHex(row.stream);
    EXPECT_EQ(hexUnits(splitAnnexB(stream)), row.units) << row.why;
  }
}

TEST(HEVCNalUnits, SplitLengthPrefixedRefusesDamagedSamples) {
  struct Row { const char* why; const char* sample; int headerLength; std::optional<std::vector<std::string>> units; };
  const Row rows[] = {
      {"two units behind 4-byte lengths", "00 00 00 02 26 01 00 00 00 01 AF", 4,
       std::vector<std::string>{"26 01", "AF"}},
      {"2-byte lengths", "00 03 26 01 FF", 2, std::vector<std::string>{"26 01 FF"}},
      {"1-byte lengths", "01 AA 02 BB CC", 1, std::vector<std::string>{"AA", "BB CC"}},
      {"empty sample holds no unit", "", 4, std::vector<std::string>{}},
      {"length runs one byte past the end", "00 00 00 03 26 01", 4, std::nullopt},
      {"prefix cut short", "00 00 00 01 26 00 00", 4, std::nullopt},
      {"zero-length unit", "00 00 00 00 00 00 00 01 26", 4, std::nullopt},
      {"huge length does not wrap", "FF FF FF FF 26", 4, std::nullopt},
      {"3-byte prefixes are no HEVC sample format", "00 00 01 26", 3, std::nullopt},
      {"prefix size 0", "26", 0, std::nullopt},
  };
  for (const Row& row : rows) {
    Bytes sample = fromHex(row.sample);
    auto units = splitLengthPrefixed(sample, row.headerLength);
    ASSERT_EQ(units.has_value(), row.units.has_value()) << row.why;
    if (units) {
      EXPECT_EQ(hexUnits(*units), *row.units) << row.why;
    }
  }
}

TEST(HEVCNalUnits, ConversionsBetweenFormsKeepTheUnits) {
  Bytes annexB = fromHex("00 00 00 01 40 01 0C 00 00 01 42 01 01 00 00 00 00 01 26 01 AF");
  auto prefixed = annexBToLengthPrefixed(annexB);
  ASSERT_TRUE(prefixed);
  EXPECT_EQ(toHex(*prefixed), "00 00 00 03 40 01 0C 00 00 00 03 42 01 01 00 00 00 03 26 01 AF");
  auto back = lengthPrefixedToAnnexB(*prefixed);
  ASSERT_TRUE(back);
  EXPECT_EQ(toHex(*back), "00 00 00 01 40 01 0C 00 00 00 01 42 01 01 00 00 00 01 26 01 AF");

  auto short1 = annexBToLengthPrefixed(annexB, 1);
  ASSERT_TRUE(short1);
  EXPECT_EQ(toHex(*short1), "03 40 01 0C 03 42 01 01 03 26 01 AF");

  Bytes big(300, 0x55);
  Bytes bigStream = fromHex("00 00 01");
  bigStream.insert(bigStream.end(), big.begin(), big.end());
  EXPECT_FALSE(annexBToLengthPrefixed(bigStream, 1)) << "a 300-byte unit cannot have a 1-byte length";
  EXPECT_TRUE(annexBToLengthPrefixed(bigStream, 2));
  EXPECT_FALSE(lengthPrefixedToAnnexB(fromHex("00 00 00 05 26 01"))) << "damaged sample";
  EXPECT_TRUE(containsStartCode(fromHex("42 00 00 01 05")));
  EXPECT_FALSE(containsStartCode(fromHex("42 00 00 03 01 05"))) << "emulation prevention breaks the run";
}

}  // namespace
}  // namespace vela
