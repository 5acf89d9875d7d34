#include "hostcore/engines/input_injector.hpp"

#include <algorithm>

#include "hostcore/engines/hid_key_map.hpp"
#include "hostcore/engines/modifier_keys.hpp"
#include "platform/runtime/checked_number.hpp"
#include "protocol/byte_reader.hpp"

namespace vela {

using namespace modifier_keys;
using tavlo::EventField;
using tavlo::ScreenPoint;
using tavlo::ScreenRect;
using tavlo::SystemEvent;
using tavlo::SystemEventType;

std::atomic<uint64_t> InputInjector::lastOptionClickNs_{0};

namespace {

// Dropped events with broken floats are logged the first time and then every this many.
constexpr uint64_t kDroppedFloatLogEvery = 1000;

constexpr uint16_t kReturnKeyCode = 0x24;
constexpr uint16_t kReturnUsage = 0x28;

// The Unicode scalars of UTF-8 text, each as UTF-16; bytes that are not UTF-8 become U+FFFD.
std::vector<std::u16string> scalarsAsUtf16(const std::string& text) {
  const std::string valid = ByteReader::repairedUtf8(
      tavlo::ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  std::vector<std::u16string> out;
  for (size_t i = 0; i < valid.size();) {
    const auto lead = static_cast<uint8_t>(valid[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t scalar = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    for (size_t k = 1; k < length && i + k < valid.size(); ++k) scalar = (scalar << 6) | (valid[i + k] & 0x3F);
    i += length;
    if (scalar < 0x10000) {
      out.push_back(std::u16string(1, static_cast<char16_t>(scalar)));
    } else {
      scalar -= 0x10000;
      out.push_back({static_cast<char16_t>(0xD800 + (scalar >> 10)), static_cast<char16_t>(0xDC00 + (scalar & 0x3FF))});
    }
  }
  return out;
}

SystemEvent modifierEvent(const ModifierKey& key, bool down, uint64_t flags) {
  SystemEvent event = SystemEvent::keyboard(key.keyCode, key.usage, down);
  event.type = SystemEventType::flagsChanged;
  event.flags = flags;
  return event;
}

}  // namespace

InputInjector::InputInjector(std::shared_ptr<tavlo::EventPoster> poster, const tavlo::Clock& clock)
    : poster_(std::move(poster)), clock_(clock) {}

void InputInjector::setOnLog(tavlo::LogSink onLog) {
  std::lock_guard lock(lock_);
  onLog_ = std::move(onLog);
}

void InputInjector::log(const std::string& line) {
  tavlo::LogSink sink;
  {
    std::lock_guard lock(lock_);
    sink = onLog_;
  }
  if (sink) sink(line);
}

void InputInjector::inject(const InputEvent& event) {
  std::visit(
      [this](const auto& record) {
        using R = std::decay_t<decltype(record)>;
        if constexpr (std::is_same_v<R, KeyEvent>) handleKey(record);
        else if constexpr (std::is_same_v<R, TextInput>) handleText(record);
        else if constexpr (std::is_same_v<R, PointerButton>) handleButton(record);
        else if constexpr (std::is_same_v<R, ScrollEvent>) handleScroll(record);
        else if constexpr (std::is_same_v<R, PointerMoveBatch>) handleMove(record);
        else if constexpr (std::is_same_v<R, PointerMoveRelative>) handleRelativeMove(record);
        else if constexpr (std::is_same_v<R, PencilSampleBatch>) handlePencilBatch(record);
        else if constexpr (std::is_same_v<R, PencilDiscrete>) handlePencilDiscrete(record);
        else if constexpr (std::is_same_v<R, PinchEvent>) handlePinch(record);
      },
      event.payload);
  poster_->flush();
}

void InputInjector::setDisplay(uint32_t id, int64_t pointsWidth, int64_t pointsHeight) {
  const auto bounds = poster_->displayBounds(id);
  std::lock_guard lock(lock_);
  displayID_ = id;
  authWidth_ = static_cast<double>(std::max<int64_t>(pointsWidth, 0));
  authHeight_ = static_cast<double>(std::max<int64_t>(pointsHeight, 0));
  if (bounds && bounds->hasArea()) displayBounds_ = *bounds;
}

ScreenRect InputInjector::currentBounds() {
  uint32_t id;
  double width, height;
  ScreenRect rect;
  {
    std::lock_guard lock(lock_);
    id = displayID_;
    width = authWidth_;
    height = authHeight_;
    rect = displayBounds_;
  }
  if (id != 0) {
    // Asked at every mapping, so that a moved or re-moded display is followed at once.
    if (auto fresh = poster_->displayBounds(id); fresh && fresh->hasArea()) {
      std::lock_guard lock(lock_);
      displayBounds_ = *fresh;
      rect = *fresh;
    }
  }
  return {rect.x, rect.y, width > 0 ? width : rect.width, height > 0 ? height : rect.height};
}

ScreenPoint InputInjector::cursorOr(ScreenPoint fallback) { return poster_->cursorPosition().value_or(fallback); }

ScreenPoint InputInjector::cursorOrDisplayMiddle() {
  ScreenRect bounds;
  {
    std::lock_guard lock(lock_);
    bounds = displayBounds_;
  }
  return cursorOr(bounds.middle());
}

void InputInjector::reconcileModifiers(KeyModifiers modifiers, uint64_t flags) {
  ModifierPlan plan;
  {
    std::lock_guard lock(lock_);
    for (size_t i = 0; i < kModifierKeys.size(); ++i) {
      const uint8_t bit = uint8_t(1u << i);
      const bool held = modifiers.contains(kModifierKeys[i].bit);
      if ((injectedMods_ & bit) && !held) plan.release |= bit;
      if (!(injectedMods_ & bit) && held) plan.press |= bit;
    }
    injectedMods_ = uint8_t((injectedMods_ & ~plan.release) | plan.press);
  }
  for (size_t i = 0; i < kModifierKeys.size(); ++i) {
    if (plan.release & (1u << i)) poster_->post(modifierEvent(kModifierKeys[i], false, flags));
  }
  for (size_t i = 0; i < kModifierKeys.size(); ++i) {
    if (plan.press & (1u << i)) poster_->post(modifierEvent(kModifierKeys[i], true, flags));
  }
}

void InputInjector::handleKey(const KeyEvent& event) {
  const uint64_t flags = eventFlags(event.modifiers) | keyFlags(event.hidUsagePage, event.hidUsage);
  {
    std::lock_guard lock(lock_);
    flags_ = flags;
  }
  reconcileModifiers(event.modifiers, flags);
  if (event.hidUsage >= 0xE0 && event.hidUsage <= 0xE7) return;  // the reconciliation did the modifier's part
  const auto code = HIDKeyMap::keyCode(event.hidUsagePage, event.hidUsage);
  if (!code) return;
  SystemEvent key = SystemEvent::keyboard(*code, event.hidUsage, event.down);
  key.flags = flags;
  {
    std::lock_guard lock(lock_);
    if (event.down) {
      if (downKeys_.test(*code)) key.setField(EventField::keyboardAutorepeat, 1);
      downKeys_.set(*code);
    } else {
      downKeys_.reset(*code);
    }
  }
  poster_->post(key);
}

void InputInjector::handleText(const TextInput& event) {
  SystemEvent key = SystemEvent::keyboard(0, 0, true);
  std::u16string text;
  for (const auto& scalar : scalarsAsUtf16(event.text)) text += scalar;
  key.unicodeString = std::move(text);
  poster_->post(key);
}

void InputInjector::typeUnlockSequence(const std::string& text) {
  for (const auto& scalar : scalarsAsUtf16(text)) {
    for (bool down : {true, false}) {
      SystemEvent key = SystemEvent::keyboard(0, 0, down);
      key.unicodeString = scalar;
      poster_->post(key);
    }
  }
  poster_->post(SystemEvent::keyboard(kReturnKeyCode, kReturnUsage, true));
  poster_->post(SystemEvent::keyboard(kReturnKeyCode, kReturnUsage, false));
  poster_->flush();
}

void InputInjector::releaseAll() {
  std::bitset<128> keys;
  {
    std::lock_guard lock(lock_);
    keys = std::exchange(downKeys_, {});
  }
  for (uint16_t code = 0; code < keys.size(); ++code) {
    if (keys.test(code)) poster_->post(SystemEvent::keyboard(code, HIDKeyMap::hidUsage(code).value_or(0), false));
  }
  reconcileModifiers(KeyModifiers{}, 0);
  bool leftHeld;
  {
    std::lock_guard lock(lock_);
    // A pencil touching the surface holds the left button as well: it is let go with it.
    leftHeld = leftButtonDown_ || penDown_;
    leftButtonDown_ = false;
    penDown_ = false;
    flags_ = 0;
  }
  if (leftHeld) poster_->post(SystemEvent::mouse(SystemEventType::leftMouseUp, cursorOrDisplayMiddle(), 0, displayID()));
  poster_->flush();
}

void InputInjector::releaseAllButtons() {
  {
    std::lock_guard lock(lock_);
    leftButtonDown_ = false;
  }
  const ScreenPoint at = cursorOrDisplayMiddle();
  const uint32_t display = displayID();
  poster_->post(SystemEvent::mouse(SystemEventType::leftMouseUp, at, 0, display));
  poster_->post(SystemEvent::mouse(SystemEventType::rightMouseUp, at, 1, display));
  poster_->post(SystemEvent::mouse(SystemEventType::otherMouseUp, at, 2, display));
  poster_->flush();
}

void InputInjector::resetToCleanBaseline() {
  {
    std::lock_guard lock(lock_);
    downKeys_.reset();
  }
  for (const auto& key : kModifierKeys) poster_->post(modifierEvent(key, false, 0));
  {
    std::lock_guard lock(lock_);
    injectedMods_ = 0;
    flags_ = 0;
  }
  releaseAllButtons();
}

bool InputInjector::isLeftButtonDown() const {
  std::lock_guard lock(lock_);
  return leftButtonDown_;
}

bool InputInjector::hasPermission() const { return poster_->hasPermission(); }

bool InputInjector::requestPermission() const { return poster_->requestPermission(); }

uint64_t InputInjector::lastOptionClickNs() { return lastOptionClickNs_.load(std::memory_order_relaxed); }

uint32_t InputInjector::displayID() const {
  std::lock_guard lock(lock_);
  return displayID_;
}

ScreenRect InputInjector::displayBounds() const {
  std::lock_guard lock(lock_);
  return displayBounds_;
}

void InputInjector::noteOptionClick() {
  const auto nowNs = static_cast<uint64_t>(tavlo::saturatingMul(static_cast<int64_t>(clock_.nowUs()), 1000));
  // Only ever moves forward, whichever of two racing clicks stores last.
  uint64_t seen = lastOptionClickNs_.load(std::memory_order_relaxed);
  while (seen < nowNs && !lastOptionClickNs_.compare_exchange_weak(seen, nowNs, std::memory_order_relaxed)) {
  }
}

void InputInjector::noteDroppedFloats(const char* what) {
  uint64_t count;
  {
    std::lock_guard lock(lock_);
    count = ++droppedFloatEvents_;
  }
  if (count == 1 || count % kDroppedFloatLogEvery == 0) {
    log(std::string("⚠️ wejście: odrzucono ") + what + " z liczbą nieskończoną lub NaN (zdarzeń odrzuconych: " +
        std::to_string(count) + ")");
  }
}

void InputInjector::noteOnce(bool InputInjector::*noted, const char* line) {
  {
    std::lock_guard lock(lock_);
    if (this->*noted) return;
    this->*noted = true;
  }
  log(line);
}

}  // namespace vela
