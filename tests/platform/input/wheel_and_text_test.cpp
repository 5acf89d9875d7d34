// What the XTEST poster decides before it talks to the server: wheel clicks from scroll distances,
// keysyms from text, and which spare keycode a character is typed through.
#include <gtest/gtest.h>

#include "platform/input/spare_keycodes.hpp"
#include "platform/input/text_keysyms.hpp"
#include "platform/input/wheel_accumulator.hpp"

namespace tavlo {
namespace {

TEST(WheelAccumulator, KeepsTheRemainderAndCapsOneEvent) {
  constexpr int32_t step = WheelAccumulator::pixelsPerClick;
  struct Row {
    int32_t pixels;
    int64_t clicks;
    int64_t remainder;
    const char* why;
  };
  const Row rows[] = {
      {-3 * step, -3, 0, "three steps down"},
      {step / 2, 0, step / 2, "half a step is kept"},
      {step / 2, 1, 0, "and completes the next"},
      {step / 4, 0, step / 4, "a quarter up"},
      {-step / 2, 0, -step / 4, "a reversal spends the kept part first"},
      {INT32_MAX, WheelAccumulator::maxClicksPerEvent, 0, "a wild delta is cut and its excess dropped"},
      {INT32_MIN, -WheelAccumulator::maxClicksPerEvent, 0, "in either direction"},
  };
  WheelAccumulator wheel;
  for (const auto& row : rows) {
    EXPECT_EQ(wheel.add(row.pixels), row.clicks) << row.why;
    EXPECT_EQ(wheel.remainder(), row.remainder) << row.why;
  }
}

TEST(TextKeysyms, CharactersBecomeLatin1OrUnicodeKeysymsAndControlsAreSkipped) {
  const std::pair<char32_t, uint32_t> rows[] = {
      {U'a', 0x61},     {U'ó', 0xF3},      {U'ż', 0x100017C}, {U'😀', 0x101F600}, {U'\n', 0xFF0D},
      {U'\r', 0xFF0D},  {U'\t', 0xFF09},   {0x07, 0},         {0x7F, 0},          {0x85, 0},
      {0xD800, 0},      {0x110000, 0},     {U' ', 0x20},
  };
  for (const auto& [codePoint, keysym] : rows) EXPECT_EQ(keysymForCodePoint(codePoint), keysym) << uint32_t(codePoint);
  EXPECT_EQ(codePointsOf(u"aż😀"), U"aż😀");
  EXPECT_EQ(codePointsOf(std::u16string{u'a', char16_t(0xD83D), u'b', char16_t(0xDE00)}), U"a\uFFFDb\uFFFD");
}

TEST(SpareKeycodes, ReusesABindingAndRebindsTheLeastRecentlyUsedKeycode) {
  SpareKeycodes spares;
  spares.reset({250, 251});
  auto a = spares.acquire(0x61);
  ASSERT_TRUE(a && a->needsBinding);
  spares.release(a->keycode);
  auto b = spares.acquire(0x62);
  ASSERT_TRUE(b && b->needsBinding);
  EXPECT_NE(b->keycode, a->keycode);
  spares.release(b->keycode);
  auto again = spares.acquire(0x61);  // still bound: no new binding
  ASSERT_TRUE(again);
  EXPECT_EQ(again->keycode, a->keycode);
  EXPECT_FALSE(again->needsBinding);
  spares.release(again->keycode);
  auto c = spares.acquire(0x63);  // takes b's keycode, used longer ago than a's
  ASSERT_TRUE(c && c->needsBinding);
  EXPECT_EQ(c->keycode, b->keycode);
  EXPECT_EQ(c->previousKeysym, 0x62u);
  // A lent keycode is not lent twice.
  auto d = spares.acquire(0x61);
  ASSERT_TRUE(d);
  EXPECT_EQ(spares.acquire(0x64), std::nullopt);
  EXPECT_EQ(spares.bindings().size(), 2u);
  // A keycode someone else's keymap took leaves the pool.
  spares.release(c->keycode);
  spares.remove(c->keycode);
  EXPECT_EQ(spares.acquire(0x65), std::nullopt);
  EXPECT_EQ(spares.size(), 1u);
}

}  // namespace
}  // namespace tavlo
