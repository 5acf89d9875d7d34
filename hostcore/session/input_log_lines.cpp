#include "hostcore/session/input_log_lines.hpp"

#include <charconv>
#include <cstdio>

namespace vela {

namespace {

constexpr uint16_t usageNavBack = 0x2F;   // [
constexpr uint16_t usageNavForward = 0x30;  // ]
constexpr uint16_t usageArrowRight = 0x4F;
constexpr uint16_t usageArrowUp = 0x52;
constexpr uint16_t usageFirstModifier = 0xE0;
constexpr uint16_t usageLastModifier = 0xE7;

std::string upperHex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
  return text;
}

const char* phaseName(ScrollPhase phase) {
  switch (phase) {
    case ScrollPhase::none: return "none";
    case ScrollPhase::began: return "began";
    case ScrollPhase::changed: return "changed";
    case ScrollPhase::ended: return "ended";
    case ScrollPhase::cancelled: return "cancelled";
  }
  return "none";
}

std::string downUp(bool down) { return down ? "↓DOWN" : "↑UP"; }

}  // namespace

std::string shortestDecimal(float value) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::vector<std::string> inputLogLines(const InputEvent& event, int64_t eventNumber) {
  std::vector<std::string> lines;
  if (const KeyEvent* key = event.as<KeyEvent>()) {
    uint16_t usage = key->hidUsage;
    std::string mods = upperHex(key->modifiers.rawValue);
    if (key->down && (usage == usageNavBack || usage == usageNavForward))
      lines.push_back(std::string("input: NAWIGACJA ") + (usage == usageNavBack ? "wstecz (Cmd+[)" : "dalej (Cmd+])"));
    if (usage >= usageArrowRight && usage <= usageArrowUp) {
      static constexpr const char* arrows[] = {"→", "←", "↓", "↑"};
      lines.push_back(std::string("input: STRZAŁKA ") + arrows[usage - usageArrowRight] + " " + downUp(key->down) +
                      " mods=0x" + mods);
    }
    if (usage >= usageFirstModifier && usage <= usageLastModifier)
      lines.push_back("input: MOD 0x" + upperHex(usage) + " " + downUp(key->down) + " mods=0x" + mods);
  }
  if (eventNumber > inputEventsLoggedInFull) return lines;

  if (const KeyEvent* key = event.as<KeyEvent>()) {
    lines.push_back(std::string("input: KEY ") + (key->down ? "↓" : "↑") + " usage=0x" + upperHex(key->hidUsage) +
                    " mods=" + std::to_string(key->modifiers.rawValue));
  } else if (const TextInput* text = event.as<TextInput>()) {
    lines.push_back("input: TEXT '" + text->text + "'");
  } else if (const PointerButton* button = event.as<PointerButton>()) {
    lines.push_back("input: BUTTON " + std::to_string(button->button) + " " + (button->down ? "↓" : "↑") + " @(" +
                    std::to_string(button->xNorm) + "," + std::to_string(button->yNorm) + ")");
  } else if (const ScrollEvent* scroll = event.as<ScrollEvent>()) {
    lines.push_back("input: SCROLL Δ(" + shortestDecimal(scroll->deltaX) + "," + shortestDecimal(scroll->deltaY) +
                    ") phase=" + phaseName(scroll->phase));
  }
  return lines;
}

}  // namespace vela
