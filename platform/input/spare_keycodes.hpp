#pragma once
// The keycodes that no key of the keymap uses, lent one at a time to type a character through a
// binding made for the moment. A keycode keeps its binding after use: a character typed again needs
// no new binding, and an application still reading older key events finds the binding they were made
// with for as long as possible, because the least recently used keycode is rebound first.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tavlo {

class SpareKeycodes {
 public:
  struct Lease {
    uint8_t keycode = 0;
    bool needsBinding = false;  // the keycode must be bound to the keysym before it is pressed
    uint32_t previousKeysym = 0;  // what this pool had bound it to before (0: nothing)
  };

  // Starts over with these unused keycodes; earlier bindings are forgotten.
  void reset(std::vector<uint8_t> keycodes);
  // A keycode for the keysym, held until release(); empty when every spare keycode is lent out.
  std::optional<Lease> acquire(uint32_t keysym);
  void release(uint8_t keycode);
  // Takes a keycode out of the pool for good (someone else's keymap now uses it).
  void remove(uint8_t keycode);
  // Keycodes bound by this pool and their keysyms (to unbind them at the end).
  std::vector<std::pair<uint8_t, uint32_t>> bindings() const;
  size_t size() const { return slots_.size(); }

 private:
  struct Slot {
    uint8_t keycode = 0;
    uint32_t keysym = 0;  // 0: unbound
    uint64_t lastUse = 0;
    bool leased = false;
  };
  std::vector<Slot> slots_;
  uint64_t tick_ = 0;
};

}  // namespace tavlo
