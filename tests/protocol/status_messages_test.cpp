#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "protocol/status_messages.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using namespace vela::wiretest;
using State = ClientStateMessage::State;
using Rect = TextFocusMessage::Rect;

// A 2 x 2 cursor: id 9, hot spot (1, 1), scale 2, format 0, 16 pixel bytes.
const std::string cursorHead = "09 00 00 00 01 00 01 00 02 00 02 00 02 00 10 00 00 00";
const std::string cursorPixels = " 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F";
const Bytes pixels{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

CursorImage cursor(CursorShape shape) { return CursorImage{9, 1, 1, 2, 2, 2, 0, pixels, shape}; }

TEST(StatusMessages, GoldenVectors) {
  const GoldenVector rows[] = {
      golden("2 x 2 cursor: 35 bytes with its shape", cursor(CursorShape::iBeam), cursorHead + cursorPixels + " 02"),
      decodesAs("without the shape byte: custom", cursorHead + cursorPixels, cursor(CursorShape::custom)),
      decodesAs("an unknown shape is custom", cursorHead + cursorPixels + " 19", cursor(CursorShape::custom)),
      decodesAs("the last shape", cursorHead + cursorPixels + " 12", cursor(CursorShape::disappearingItem)),
      golden("cursor set", CursorSet{5, true}, "05 00 00 00 01"),
      decodesAs("visible is any non-zero byte", "05 00 00 00 07", CursorSet{5, true}),
      golden("client state with audio off", ClientStateMessage{State::occluded, false}, "02 00"),
      decodesAs("without the audio byte: audio on", "01", ClientStateMessage{State::background, true}),
      golden("login with an empty password", LoginRequest{""}, "00 00"),
      golden("login", LoginRequest{"pw"}, "02 00 70 77"),
      golden("focus with a rectangle", TextFocusMessage{true, true, 1, 2, 3, 4}, "01 01 01 00 02 00 03 00 04 00"),
      decodesAs("active alone: no rectangle", "01", TextFocusMessage{true, false, 0, 0, 0, 0}),
      decodesAs("each coordinate is read when two bytes are left", "01 01 10 00",
                TextFocusMessage{true, true, 16, 0, 0, 0}),
      decodesAs("a lone byte after a coordinate is not read", "01 01 10 00 05", TextFocusMessage{true, true, 16, 0, 0, 0}),
      golden("lock state", LockStateMessage{true, false}, "01 00"),
      golden("client log line", ClientLogMessage("hi"), "02 00 68 69"),
  };
  for (const auto& row : rows) expectGolden(row);
}

TEST(StatusMessages, BadPayloads) {
  const BadPayload rows[] = {
      bad<CursorImage>("pixel bytes missing", cursorHead + " 00 01", WireError::underflow()),
      bad<CursorImage>("no data length", "09 00 00 00 01 00 01 00 02 00 02 00 02 00", WireError::underflow()),
      bad<ClientStateMessage>("state 3", "03", WireError::malformed("client state 3")),
      bad<ClientStateMessage>("empty", "", WireError::underflow()),
      bad<TextFocusMessage>("empty", "", WireError::underflow()),
      bad<LockStateMessage>("one byte", "01", WireError::underflow()),
      bad<LoginRequest>("a length longer than what follows", "03 00 70 77", WireError::underflow()),
  };
  for (const auto& row : rows) expectBad(row);
}

TEST(TextFocusMessage, FieldFrameIsNormalisedToTheDisplay) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Rect display{0, 0, 1000, 500};
  struct Row { const char* why; std::optional<Rect> field; Rect display; TextFocusMessage expected; };
  const Row rows[] = {
      {"fractions times 65,535, truncated", Rect{100, 50, 200, 25}, display, {true, true, 6553, 6553, 13107, 3276}},
      {"a field starting left of the display", Rect{-50, 0, 100, 10}, display, {true, true, 0, 0, 6553, 1310}},
      {"a left edge on the display's right edge", Rect{1000, 0, 10, 10}, display, {true, true, 65535, 0, 655, 1310}},
      {"a field wider than the display", Rect{0, 0, 3000, 10}, display, {true, true, 0, 0, 65535, 1310}},
      {"a field entirely off the display", Rect{1100, 0, 10, 10}, display, {true, false, 0, 0, 0, 0}},
      {"no known frame", std::nullopt, display, {true, false, 0, 0, 0, 0}},
      {"a display one point wide", Rect{0, 0, 1, 1}, Rect{0, 0, 1, 500}, {true, false, 0, 0, 0, 0}},
      {"a display that is not at the origin", Rect{2560, 400, 128, 80}, Rect{1920, 0, 1280, 800},
       {true, true, 32767, 32767, 6553, 6553}},
      {"a frame of NaN", Rect{nan, 0, 10, 10}, display, {true, false, 0, 0, 0, 0}},
      {"an infinitely wide frame", Rect{0, 0, inf, 10}, display, {true, true, 0, 0, 65535, 1310}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(TextFocusMessage::forField(true, row.field, row.display), row.expected);
  }
}

TEST(ClientLogMessage, KeepsTheFirst500Characters) {
  EXPECT_EQ(ClientLogMessage(std::string(600, 'a')).text, std::string(500, 'a'));
  std::string accents;
  for (int i = 0; i < 500; ++i) accents += "\xC3\xA9";  // é
  Bytes payload = payloadOf(ClientLogMessage(accents + "tail"));
  EXPECT_EQ(payload[0], 0xE8);  // 1000 bytes
  EXPECT_EQ(payload[1], 0x03);
  EXPECT_EQ(payload.size(), 1002u);
}

}  // namespace
}  // namespace vela
