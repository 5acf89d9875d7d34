// The HID key map: the key codes of the keyboard page, the way back, and the labels of shortcut texts.
#include <gtest/gtest.h>

#include "hostcore/engines/hid_key_map.hpp"
#include "platform/input/hid_evdev_keys.hpp"

namespace vela {
namespace {

TEST(HIDKeyMap, MapsOnlyTheKeyboardPageAndItsTableUsages) {
  struct Row {
    uint16_t page, usage;
    std::optional<uint16_t> keyCode;
    const char* why;
  };
  const Row rows[] = {
      {0x07, 0x04, 0x00, "A is key code 0"},
      {0x0C, 0x04, std::nullopt, "another page maps nothing"},
      {0x07, 0x32, std::nullopt, "Non-US # is absent"},
      {0x07, 0x49, 0x72, "Insert is the Help key"},
      {0x07, 0xE3, 0x37, "left Command"},
      {0x07, 0x53, std::nullopt, "keypad keys are absent"},
      {0x07, 0x65, std::nullopt, "Application is absent"},
      {0x07, 0xE8, std::nullopt, "past the modifiers"},
  };
  for (const auto& row : rows) EXPECT_EQ(HIDKeyMap::keyCode(row.page, row.usage), row.keyCode) << row.why;
}

TEST(HIDKeyMap, ReverseLeavesOutTheModifiersAndCoversEveryOtherKey) {
  int forward = 0, reverse = 0;
  for (uint16_t usage = 0; usage < 0x100; ++usage) {
    const auto code = HIDKeyMap::keyCode(0x07, usage);
    if (!code) continue;
    ++forward;
    // Every mapped key can be pressed on Linux too.
    EXPECT_NE(tavlo::hidEvdevKey(usage), nullptr) << usage;
    if (auto back = HIDKeyMap::hidUsage(*code)) {
      EXPECT_EQ(*back, usage);
      ++reverse;
    }
  }
  EXPECT_EQ(forward, 83);
  EXPECT_EQ(reverse, 75);
  EXPECT_EQ(HIDKeyMap::hidUsage(0x37), std::nullopt);  // left Command, though 0xE3 maps to it
  EXPECT_EQ(HIDKeyMap::hidUsage(0x24), 0x28);
  EXPECT_EQ(HIDKeyMap::hidUsage(0x7F), std::nullopt);
}

TEST(HIDKeyMap, LabelsTakeTheFirstRuleThatApplies) {
  const std::pair<uint16_t, const char*> rows[] = {
      {0x2C, "Spacja"}, {0x2D, "\u2212"}, {0x31, "\\"}, {0x4F, "→"}, {0x04, "A"}, {0x1D, "Z"},
      {0x1E, "1"},      {0x26, "9"},      {0x27, "0"},  {0x3A, "F1"}, {0x45, "F12"}, {0xE0, "0xE0"},
      {0x123, "0x123"}, {0x05, "B"},
  };
  for (const auto& [usage, label] : rows) EXPECT_EQ(HIDKeyMap::label(usage), label) << usage;
}

}  // namespace
}  // namespace vela
