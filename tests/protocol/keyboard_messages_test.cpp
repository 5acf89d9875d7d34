#include <gtest/gtest.h>

#include <string>

#include "protocol/keyboard_messages.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using namespace vela::wiretest;
using tavlo::testkit::fromHex;

const KeyEvent shiftCmdA{true, 0x07, 0x04, KeyModifiers::leftShift | KeyModifiers::leftCmd, 123456};

TEST(KeyboardMessages, GoldenVectors) {
  const GoldenVector rows[] = {
      golden("key down with two modifiers", shiftCmdA, "01 00 07 00 04 00 0A 00 00 00 40 E2 01 00 00 00 00 00"),
      decodesAs("any non-zero down byte; the reserved byte is ignored",
                "02 FF 07 00 04 00 0A 00 00 00 40 E2 01 00 00 00 00 00", shiftCmdA),
      decodesAs("a 19th byte is ignored", "01 00 07 00 04 00 0A 00 00 00 40 E2 01 00 00 00 00 00 99", shiftCmdA),
      golden("modifier bits without a member travel unchanged", KeyEvent{false, 1, 2, KeyModifiers(0x0401), 0},
             "00 00 01 00 02 00 01 04 00 00 00 00 00 00 00 00 00 00"),
      golden("empty text", TextInput{""}, "00 00"),
      golden("text", TextInput{"é"}, "02 00 C3 A9"),
  };
  for (const auto& row : rows) expectGolden(row);
}

TEST(KeyboardMessages, BadPayloads) {
  const BadPayload rows[] = {
      bad<KeyEvent>("17 bytes", "01 00 07 00 04 00 0A 00 00 00 40 E2 01 00 00 00 00", WireError::underflow()),
      bad<TextInput>("a length longer than what follows", "02 00 C3", WireError::underflow()),
  };
  for (const auto& row : rows) expectBad(row);
}

TEST(KeyboardMessages, ReencodingNormalisesDownAndReserved) {
  Bytes payload = payloadOf(decodeExact<KeyEvent>(fromHex("02 FF 07 00 04 00 0A 00 00 00 40 E2 01 00 00 00 00 00")));
  EXPECT_EQ(payload[0], 1);
  EXPECT_EQ(payload[1], 0);
}

TEST(KeyboardMessages, LongTextIsCutTo65535Bytes) {
  Bytes payload = payloadOf(TextInput{std::string(70'000, 't')});
  EXPECT_EQ(payload.size(), 2u + 65'535);
  EXPECT_EQ(decodeExact<TextInput>(payload).text.size(), 65'535u);
}

TEST(KeyModifiers, SetAlgebraOverNamedMembers) {
  KeyModifiers held{KeyModifiers::leftCmd, KeyModifiers::rightShift};
  EXPECT_EQ(held.rawValue, 0x028u);
  EXPECT_TRUE(held.contains(KeyModifiers::leftCmd));
  EXPECT_FALSE(held.contains(KeyModifiers::rightCmd));
  EXPECT_TRUE(KeyModifiers{}.isEmpty());
  EXPECT_TRUE((KeyModifiers{}).isSubset(held));
  EXPECT_TRUE(KeyModifiers{KeyModifiers::leftCmd}.isSubset(held));
  EXPECT_TRUE(held.isDisjoint(KeyModifiers::capsLock | KeyModifiers::fn));
  EXPECT_EQ((held ^ KeyModifiers::leftCmd), KeyModifiers::rightShift);
  held.insert(KeyModifiers::fn);
  held.remove(KeyModifiers::rightShift);
  EXPECT_EQ(held, KeyModifiers::leftCmd | KeyModifiers::fn);
}

}  // namespace
}  // namespace vela
