#include "platform/input/spare_keycodes.hpp"

namespace tavlo {

void SpareKeycodes::reset(std::vector<uint8_t> keycodes) {
  slots_.clear();
  slots_.reserve(keycodes.size());
  for (uint8_t keycode : keycodes) slots_.push_back(Slot{keycode});
}

std::optional<SpareKeycodes::Lease> SpareKeycodes::acquire(uint32_t keysym) {
  Slot* oldest = nullptr;
  for (Slot& slot : slots_) {
    if (slot.leased) continue;
    if (slot.keysym == keysym) {
      slot.leased = true;
      slot.lastUse = ++tick_;
      return Lease{slot.keycode, false, keysym};
    }
    if (!oldest || slot.lastUse < oldest->lastUse) oldest = &slot;
  }
  if (!oldest) return std::nullopt;
  const Lease lease{oldest->keycode, true, oldest->keysym};
  oldest->leased = true;
  oldest->keysym = keysym;
  oldest->lastUse = ++tick_;
  return lease;
}

void SpareKeycodes::release(uint8_t keycode) {
  for (Slot& slot : slots_) {
    if (slot.keycode == keycode) slot.leased = false;
  }
}

std::vector<std::pair<uint8_t, uint32_t>> SpareKeycodes::bindings() const {
  std::vector<std::pair<uint8_t, uint32_t>> out;
  for (const Slot& slot : slots_) {
    if (slot.keysym != 0) out.emplace_back(slot.keycode, slot.keysym);
  }
  return out;
}

void SpareKeycodes::remove(uint8_t keycode) {
  std::erase_if(slots_, [keycode](const Slot& slot) { return slot.keycode == keycode; });
}

}  // namespace tavlo
