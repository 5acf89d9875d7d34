#include "e2e/replay_window.hpp"

#include <algorithm>
#include <cstring>

namespace vela {

namespace {

E2EEnvelope::Nonce nonceFrom(ByteView bytes) {
  E2EEnvelope::Nonce nonce{};
  std::memcpy(nonce.data(), bytes.data(), std::min(bytes.size(), nonce.size()));
  return nonce;
}

// Our own nonces are a fixed prefix and a counter: mix every byte, not only the first eight.
uint64_t mix(const E2EEnvelope::Nonce& nonce) {
  uint64_t low, high = 0;
  std::memcpy(&low, nonce.data(), 8);
  std::memcpy(&high, nonce.data() + 8, 4);
  uint64_t h = low ^ (high * 0x9E3779B97F4A7C15ull);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  return h;
}

}  // namespace

ReplayWindow::ReplayWindow(size_t capacity, WhenFull whenFull)
    : capacity_(std::clamp<size_t>(capacity, 1, claimedBit - 1)), whenFull_(whenFull) {}

size_t ReplayWindow::homeOf(const E2EEnvelope::Nonce& nonce) const { return mix(nonce) & (slots_.size() - 1); }

size_t ReplayWindow::find(const E2EEnvelope::Nonce& nonce) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = homeOf(nonce);; slot = (slot + 1) & mask) {
    const uint32_t value = slots_[slot];
    if (value == 0 || ring_[(value & ~claimedBit) - 1] == nonce) return slot;
  }
}

bool ReplayWindow::takeForDelivery(ByteView bytes) {
  const auto nonce = nonceFrom(bytes);
  std::lock_guard guard(mutex_);
  if (!slots_.empty()) {
    const size_t slot = find(nonce);
    if (slots_[slot] != 0) {
      if (!(slots_[slot] & claimedBit)) return false;
      slots_[slot] &= ~claimedBit;  // the claimed datagram itself, delivered once
      return true;
    }
  }
  return insert(nonce, false);
}

bool ReplayWindow::claimForAdoption(ByteView bytes) {
  const auto nonce = nonceFrom(bytes);
  std::lock_guard guard(mutex_);
  if (!slots_.empty() && slots_[find(nonce)] != 0) return false;
  return insert(nonce, true);
}

bool ReplayWindow::full() const {
  std::lock_guard guard(mutex_);
  return fullLocked();
}

size_t ReplayWindow::size() const {
  std::lock_guard guard(mutex_);
  return ring_.size();
}

bool ReplayWindow::insert(const E2EEnvelope::Nonce& nonce, bool claimed) {
  if (fullLocked()) return false;
  size_t index;
  if (ring_.size() < capacity_) {
    if ((ring_.size() + 1) * 2 > slots_.size()) grow();
    index = ring_.size();
    ring_.push_back(nonce);
  } else {
    index = oldest_;
    erase(find(ring_[index]));
    ring_[index] = nonce;
    oldest_ = (oldest_ + 1) % capacity_;
  }
  slots_[find(nonce)] = static_cast<uint32_t>(index + 1) | (claimed ? claimedBit : 0);
  return true;
}

// Backward-shift deletion: later entries of the probe run move up into the hole whenever the hole lies
// between their home slot and where they sit, so every lookup still ends at the first empty slot.
void ReplayWindow::erase(size_t hole) {
  const size_t mask = slots_.size() - 1;
  for (size_t next = (hole + 1) & mask; slots_[next] != 0; next = (next + 1) & mask) {
    const size_t home = homeOf(ring_[(slots_[next] & ~claimedBit) - 1]);
    if (((next - home) & mask) >= ((next - hole) & mask)) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole] = 0;
}

void ReplayWindow::grow() {
  std::vector<uint32_t> old = std::move(slots_);
  slots_.assign(std::max(minSlots, old.size() * 2), 0);
  for (uint32_t value : old) {
    if (value != 0) slots_[find(ring_[(value & ~claimedBit) - 1])] = value;
  }
}

}  // namespace vela
