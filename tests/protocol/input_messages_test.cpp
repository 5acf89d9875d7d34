// The input records: keys, text, pointer, scroll, pinch and pencil.
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <string>

#include "protocol/keyboard_messages.hpp"
#include "protocol/pointer_messages.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using namespace vela::wiretest;
using tavlo::testkit::fromHex;
using Estimation = PencilSample::Estimation;

const PencilSample sample{0x0102, 0x0304, 0x8000, 0xFFFF, 0x4000, -32767, Estimation::force | Estimation::hasUpdateId, 9, 250};
const std::string sampleHex = "02 01 04 03 00 80 FF FF 00 40 01 80 11 00 09 00 FA 00";
const PencilSample oddSample{0x0102, 0x0304, 0x8000, 0xFFFF, 0x4000, -32767, Estimation(0xE0), 9, 250};

std::string repeated(const std::string& hex, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += " " + hex;
  return out;
}

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

TEST(PointerMessages, GoldenVectors) {
  const GoldenVector rows[] = {
      golden("button with modifiers: 22 bytes", PointerButton{1, true, 2, 100, 200, 3, 7, KeyModifiers::leftCtrl},
             "01 01 02 00 64 00 C8 00 03 00 07 00 00 00 00 00 00 00 01 00 00 00"),
      decodesAs("18 bytes: no modifiers", "01 01 02 00 64 00 C8 00 03 00 07 00 00 00 00 00 00 00",
                PointerButton{1, true, 2, 100, 200, 3, 7, {}}),
      decodesAs("21 bytes: three are too few for modifiers", "01 01 02 00 64 00 C8 00 03 00 07 00 00 00 00 00 00 00 01 00 00",
                PointerButton{1, true, 2, 100, 200, 3, 7, {}}),
      golden("scroll", ScrollEvent{1.0f, -2.0f, ScrollPhase::changed, MomentumPhase::continue_, true, 10, 20, 1, 0.5f, 0.0f, 99},
             "00 00 80 3F 00 00 00 C0 02 02 01 00 0A 00 14 00 01 00 00 00 00 3F 00 00 00 00 63 00 00 00 00 00 00 00"),
      golden("pinch", PinchEvent{1.5f, ScrollPhase::began, 1, 2, 3, 4},
             "00 00 C0 3F 01 00 01 00 02 00 03 00 04 00 00 00 00 00 00 00"),
      golden("pencil touch: kind, 18-byte sample, time", PencilDiscrete{PencilDiscrete::Kind::down, sample, 5},
             "00 " + sampleHex + " 05 00 00 00 00 00 00 00"),
      decodesAs("undefined estimation bits survive; the reserved byte is ignored",
                "02 02 01 04 03 00 80 FF FF 00 40 01 80 E0 7F 09 00 FA 00 05 00 00 00 00 00 00 00",
                PencilDiscrete{PencilDiscrete::Kind::proximityEnter, oddSample, 5}),
      golden("the reserved byte is written zero", PencilDiscrete{PencilDiscrete::Kind::proximityEnter, oddSample, 5},
             "02 02 01 04 03 00 80 FF FF 00 40 01 80 E0 00 09 00 FA 00 05 00 00 00 00 00 00 00"),
      golden("pencil update has no reserved byte", PencilUpdate{9, Estimation::altitude | Estimation::roll, 1, 2, 3, -1},
             "09 00 0A 01 00 02 00 03 00 FF FF"),
      golden("pointer batch: count after the generation",
             PointerMoveBatch{4, 1000, {{1, 2, 0}, {3, 4, 500}}},
             "04 00 02 E8 03 00 00 00 00 00 00 01 00 02 00 00 00 03 00 04 00 F4 01"),
      golden("pencil batch: the count precedes flags", PencilSampleBatch{4, 0x80, 1000, {sample}},
             "04 00 01 80 E8 03 00 00 00 00 00 00 " + sampleHex),
      golden("relative move", PointerMoveRelative{0.25f, -0.25f, 6}, "00 00 80 3E 00 00 80 BE 06 00"),
  };
  for (const auto& row : rows) expectGolden(row);
}

TEST(PointerMessages, BadPayloads) {
  const BadPayload rows[] = {
      bad<PointerButton>("17 bytes", "01 01 02 00 64 00 C8 00 03 00 07 00 00 00 00 00 00", WireError::underflow()),
      bad<ScrollEvent>("scroll phase 5", "00 00 80 3F 00 00 00 C0 05", WireError::malformed("scroll phase 5")),
      bad<ScrollEvent>("phase 4 passes, momentum 4 fails", "00 00 80 3F 00 00 00 C0 04 04",
                       WireError::malformed("momentum 4")),
      bad<PinchEvent>("pinch phase 200", "00 00 C0 3F C8", WireError::malformed("pinch phase 200")),
      bad<PencilDiscrete>("pencil kind 5, before the sample is read", "05", WireError::malformed("pencil kind 5")),
      bad<PencilDiscrete>("a sample cut short", "00 02 01 04 03", WireError::underflow()),
      bad<PencilSampleBatch>("count 3 with two samples", "04 00 03 80 E8 03 00 00 00 00 00 00" + repeated(sampleHex, 2),
                             WireError::underflow()),
      bad<PointerMoveBatch>("a sample cut in the middle", "04 00 02 E8 03 00 00 00 00 00 00 01 00 02 00 00 00 03 00",
                            WireError::underflow()),
      bad<PencilUpdate>("ten bytes", "09 00 0A 01 00 02 00 03 00 FF", WireError::underflow()),
      bad<PointerMoveRelative>("nine bytes", "00 00 80 3E 00 00 80 BE 06", WireError::underflow()),
  };
  for (const auto& row : rows) expectBad(row);
}

TEST(PointerMessages, NonFiniteFloatsAreCarriedAsTheyCame) {
  const float nan = std::bit_cast<float>(uint32_t{0x7FC01234});  // with a payload that must survive
  const float inf = std::numeric_limits<float>::infinity();
  ScrollEvent scroll{nan, -inf, ScrollPhase::none, MomentumPhase::none, false, 0, 0, 0, inf, nan, 0};
  ScrollEvent decoded = decodeExact<ScrollEvent>(payloadOf(scroll));
  EXPECT_EQ(std::bit_cast<uint32_t>(decoded.deltaX), std::bit_cast<uint32_t>(nan));
  EXPECT_EQ(decoded.deltaY, -inf);
  EXPECT_EQ(decoded.exitVelX, inf);
  PointerMoveRelative relative = decodeExact<PointerMoveRelative>(fromHex("00 00 C0 7F 00 00 80 FF 01 00"));
  EXPECT_TRUE(std::isnan(relative.dxNorm));
  EXPECT_EQ(relative.dyNorm, -inf);
}

}  // namespace
}  // namespace vela
