// The record mechanism's field helpers, on records declared here for the purpose.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/option_set.hpp"
#include "protocol/wire_record.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using namespace vela::wiretest;

enum class Mood : uint8_t { calm = 1, busy = 2, gone = 3 };
constexpr WireEnumRange wireRange(Mood) { return {1, 3}; }

struct Bits : OptionSet<Bits, uint16_t> {
  using OptionSet::OptionSet;
};

struct Point {
  uint16_t x = 0;
  int16_t y = 0;
  static void fields(auto& r, auto& io) { io(r.x, r.y); }
  VELA_WIRE_VALUE(Point);
};

struct Sample {
  Mood mood = Mood::calm;
  Mood shape = Mood::calm;
  bool flag = false;
  bool low = false;
  Bits bits;
  float level = 0;
  std::string name;
  std::vector<Point> points;
  uint16_t tail = 0;
  std::string label;

  static void fields(auto& r, auto& io) {
    io(wire::checked(r.mood, "mood"), wire::lenient(r.shape, Mood::gone), r.flag, wire::reserved, wire::lowBit(r.low),
       r.bits, r.level, wire::str8(r.name), wire::countedU8(r.points), wire::trailing(r.tail, 0xFFFF),
       wire::trailing(wire::str8(r.label), "none"));
  }
  VELA_WIRE_RECORD(Sample, Channel::inputReliable, 0xF0);
};

// A count that stands apart from its list.
struct Split {
  uint8_t flags = 0;
  std::vector<Point> points;
  static void fields(auto& r, auto& io) {
    uint8_t count = wire::countU8(r.points);
    io(count, r.flags, wire::listOf(count, r.points));
  }
  VELA_WIRE_RECORD(Split, Channel::inputUnreliable, 0xF1);
};

static_assert(WirePayload<Sample> && WirePayload<Split>);

const Sample full{Mood::busy, Mood::calm, true, true, Bits(0x8001), 1.0f, "ab", {{1, -2}}, 7, "x"};
const char* fullHex = "02 01 01 00 01 01 80 00 00 80 3F 02 61 62 01 01 00 FE FF 07 00 01 78";

// What each helper accepts and refuses when reading is pinned by the records' own vectors (lenient and
// checked enumerations, trailing fields, Booleans, low bits, reserved bytes, counts).
TEST(WireRecord, FieldsAreWrittenInOrderAndReadBack) {
  expectGolden(golden("every helper once", full, fullHex));
}

TEST(WireRecord, ListsAreCutAt255Elements) {
  Split split{3, std::vector<Point>(300, Point{1, 1})};
  Bytes payload = payloadOf(split);
  EXPECT_EQ(payload.size(), 2u + 255 * 4);
  EXPECT_EQ(payload[0], 255);
  EXPECT_EQ(payload[1], 3);
  Split decoded = decodeExact<Split>(payload);
  EXPECT_EQ(decoded.points.size(), 255u);
  EXPECT_EQ(decoded.flags, 3);
}

TEST(OptionSet, SetAlgebraKeepsUnknownBits) {
  Bits a(0x0401), b(0x0003);
  EXPECT_EQ((a | b).rawValue, 0x0403);
  EXPECT_EQ((a & b).rawValue, 0x0001);
  EXPECT_EQ((a ^ b).rawValue, 0x0402);
  EXPECT_TRUE(Bits(0x0001).isSubset(a));
  EXPECT_FALSE(b.isSubset(a));
  EXPECT_TRUE(Bits(0x0400).isDisjoint(b));
  EXPECT_TRUE((Bits{}).isEmpty());
  EXPECT_EQ((Bits{Bits(0x1), Bits(0x8000)}).rawValue, 0x8001);
  Bits c = a;
  c.remove(Bits(0x0001));
  c.insert(Bits(0x0010));
  EXPECT_EQ(c.rawValue, 0x0410);
}

}  // namespace
}  // namespace vela
