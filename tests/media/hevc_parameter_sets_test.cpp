#include <gtest/gtest.h>

#include <string>

#include "media/hevc_nal_units.hpp"
#include "media/hevc_parameter_sets.hpp"
#include "tests/media/cam_fixture.hpp"
#include "tests/testkit/hex.hpp"

namespace vela {
namespace {

using tavlo::testkit::fromHex;
using tavlo::testkit::toHex;
using testing::camFixture;

HEVCParameterSets setsOfSizes(std::initializer_list<size_t> sizes) {
  HEVCParameterSets sets;
  uint8_t fill = 1;
  for (size_t size : sizes) sets.sets.emplace_back(size, fill++);
  return sets;
}

TEST(HEVCParameterSets, BlobCarriesCountThenLengthPrefixedSets) {
  Bytes blob = setsOfSizes({24, 42, 8}).serialize();
  EXPECT_EQ(blob.size(), 1 + 3 * 4 + 74u);
  EXPECT_EQ(toHex(ByteView(blob).first(5)), "03 18 00 00 00");
  EXPECT_EQ(toHex(ByteView(blob).subspan(1 + 4 + 24, 4)), "2A 00 00 00");

  EXPECT_EQ(toHex(HEVCParameterSets{}.serialize()), "00");
  EXPECT_EQ(toHex(HEVCParameterSets{{fromHex("40 01")}, 4}.serialize()), "01 02 00 00 00 40 01");
}

TEST(HEVCParameterSets, ReadingABlob) {
  struct Row { const char* why; const char* blob; std::optional<std::vector<std::string>> sets; };
  const Row rows[] = {
      {"count 0 is a record without sets", "00", std::vector<std::string>{}},
      {"two sets", "02 02 00 00 00 40 01 01 00 00 00 42", std::vector<std::string>{"40 01", "42"}},
      {"trailing bytes are ignored", "01 01 00 00 00 42 DE AD", std::vector<std::string>{"42"}},
      {"an empty set is kept", "02 00 00 00 00 01 00 00 00 44", std::vector<std::string>{"", "44"}},
      {"empty input", "", std::nullopt},
      {"announces 3 sets, holds 2", "03 01 00 00 00 40 01 00 00 00 42", std::nullopt},
      {"length cut short", "01 01 00 00", std::nullopt},
      {"huge length does not wrap", "01 FF FF FF FF 42", std::nullopt},
  };
  for (const Row& row : rows) {
    Bytes blob = fromHex(row.blob);
    auto sets = HEVCParameterSets::fromSerialized(blob);
    ASSERT_EQ(sets.has_value(), row.sets.has_value()) << row.why;
    if (!sets) continue;
    std::vector<std::string> hex;
    for (const Bytes& set : sets->sets) hex.push_back(toHex(set));
    EXPECT_EQ(hex, *row.sets) << row.why;
    EXPECT_EQ(sets->nalUnitHeaderLength, 4) << row.why;
  }

  // The last length says 100 while 99 bytes follow.
  Bytes blob = fromHex("01 64 00 00 00");
  blob.resize(blob.size() + 99, 0x42);
  EXPECT_FALSE(HEVCParameterSets::fromSerialized(blob));
  blob.push_back(0x42);
  EXPECT_TRUE(HEVCParameterSets::fromSerialized(blob));
}

TEST(HEVCParameterSets, RoundTripKeepsUpTo255Sets) {
  for (size_t count : {1u, 3u, 255u, 256u}) {
    HEVCParameterSets sets;
    for (size_t i = 0; i < count; ++i) sets.sets.push_back(Bytes(i % 7, static_cast<uint8_t>(i)));
    auto back = HEVCParameterSets::fromSerialized(sets.serialize());
    ASSERT_TRUE(back) << count;
    HEVCParameterSets expected = sets;
    if (count > 255) expected.sets.resize(255);
    EXPECT_EQ(*back, expected) << count;
  }
  // The header length is not in the blob: another value does not survive, and records differ by it.
  HEVCParameterSets twoByteLengths{{fromHex("40 01")}, 2};
  EXPECT_NE(twoByteLengths, (HEVCParameterSets{{fromHex("40 01")}, 4}));
  EXPECT_EQ(HEVCParameterSets::fromSerialized(twoByteLengths.serialize())->nalUnitHeaderLength, 4);
}

TEST(HEVCParameterSets, ExtractTakesTheEncodersSetsInOrder) {
  auto sets = HEVCParameterSets::extract(camFixture().stream);
  ASSERT_TRUE(sets);
  ASSERT_EQ(sets->sets.size(), 3u);
  EXPECT_EQ(hevcNalType(sets->sets[0]), 32);
  EXPECT_EQ(hevcNalType(sets->sets[1]), 33);
  EXPECT_EQ(hevcNalType(sets->sets[2]), 34);
  EXPECT_EQ(sets->nalUnitHeaderLength, 4);

  // Only the slices of a P picture, or nothing recognisable: no sets.
  EXPECT_FALSE(HEVCParameterSets::extract(fromHex("00 00 00 01 46 01 50 00 00 01 02 01 D0 12")));
  EXPECT_FALSE(HEVCParameterSets::extract(fromHex("40 01 0C")));
}

TEST(HEVCParameterSets, DecoderConfigNeedsVpsSpsAndPps) {
  const HEVCParameterSets good = *HEVCParameterSets::extract(camFixture().stream);
  auto config = good.makeDecoderConfig();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->size, (HEVCPictureSize{192, 108}));
  EXPECT_EQ(config->nalUnitHeaderLength, 4);
  Bytes expected;
  for (const Bytes& set : good.sets) appendAnnexB(expected, set);
  EXPECT_EQ(config->annexB, expected);

  auto without = [&](size_t index) {
    HEVCParameterSets sets = good;
    sets.sets.erase(sets.sets.begin() + static_cast<std::ptrdiff_t>(index));
    return sets;
  };
  auto with = [&](size_t index, Bytes set) {
    HEVCParameterSets sets = good;
    sets.sets[index] = std::move(set);
    return sets;
  };
  Bytes spsWithStartCode = good.sets[1];
  spsWithStartCode.insert(spsWithStartCode.end() - 1, {0, 0, 1});  // past the fields read
  HEVCParameterSets threeByteLengths = good;
  threeByteLengths.nalUnitHeaderLength = 3;
  struct Row { const char* why; HEVCParameterSets sets; };
  const Row rows[] = {
      {"no sets", HEVCParameterSets{}},
      {"no VPS", without(0)},
      {"no SPS", without(1)},
      {"no PPS", without(2)},
      {"SPS cut short", with(1, Bytes(good.sets[1].begin(), good.sets[1].begin() + 10))},
      {"empty set", with(2, {})},
      {"forbidden bit in a header", with(2, fromHex("C4 01 C0"))},
      {"a start code inside a set", with(1, spsWithStartCode)},
      {"3-byte length prefixes", threeByteLengths},
  };
  for (const Row& row : rows) EXPECT_FALSE(row.sets.makeDecoderConfig()) << row.why;
}

}  // namespace
}  // namespace vela
