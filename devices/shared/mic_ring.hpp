#pragma once
// The microphone ring: the one thing the host and the microphone daemon share. The host writes the
// client's microphone into it, the daemon plays it into the "Tavlo Mic" source node.
//
//   offset  size     field
//   0       4        magic 0x544C4D43 ("TLMC" read as a big-endian four-character code)
//   4       4        sample rate, 48000
//   8       4        capacity in samples, 65536
//   12      4        reserved, zero in a new object
//   16      8        write position: samples ever written, published with release ordering after them
//   24      262144   65536 float32 samples, mono; sample n lives in slot n mod 65536
//
// All integers little-endian. Both sides index the sample area with the constants below, never with
// what a header claims: a ring left by another build cannot steer either side out of the mapping.
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "devices/shared/runtime_file.hpp"

namespace tavlo::micring {

static_assert(std::endian::native == std::endian::little, "the ring's integers are stored in native order");

// The ring's file in the user's runtime directory: "$XDG_RUNTIME_DIR/tavlo-mic".
inline constexpr std::string_view kFileName = "tavlo-mic";
inline std::string defaultPath() { return runtimeFilePath(kFileName); }
inline constexpr uint32_t kMagic = 0x544C4D43;
inline constexpr uint32_t kSampleRate = 48000;
inline constexpr uint64_t kCapacity = 65536;  // a power of two: slot = position & kSlotMask
inline constexpr uint64_t kSlotMask = kCapacity - 1;
inline constexpr size_t kMagicOffset = 0;
inline constexpr size_t kSampleRateOffset = 4;
inline constexpr size_t kCapacityOffset = 8;
inline constexpr size_t kWritePositionOffset = 16;
inline constexpr size_t kSamplesOffset = 24;
inline constexpr size_t kTotalBytes = kSamplesOffset + kCapacity * sizeof(float);  // 262,168
static_assert(kTotalBytes == 262168);

// A view over a mapping of at least kTotalBytes (callers check the size before making one).
class RingView {
 public:
  explicit RingView(std::span<uint8_t> bytes) : base_(bytes.data()) {}

  uint32_t magic() const { return load32(kMagicOffset); }
  uint32_t capacity() const { return load32(kCapacityOffset); }
  // The header a writer of this build leaves.
  bool valid() const { return magic() == kMagic && capacity() == kCapacity; }
  // A zero-filled, never written object (new, or grown from nothing).
  bool blank() const { return magic() == 0 && capacity() == 0 && load32(kSampleRateOffset) == 0; }

  void writeHeader() {
    store32(kMagicOffset, kMagic);
    store32(kSampleRateOffset, kSampleRate);
    store32(kCapacityOffset, static_cast<uint32_t>(kCapacity));
  }

  uint64_t writePosition() const { return position().load(std::memory_order_acquire); }
  void publishWritePosition(uint64_t position) { this->position().store(position, std::memory_order_release); }

  float sample(uint64_t position) const {
    float value;
    std::memcpy(&value, base_ + kSamplesOffset + (position & kSlotMask) * sizeof(float), sizeof value);
    return value;
  }
  void storeSample(uint64_t position, float value) {
    std::memcpy(base_ + kSamplesOffset + (position & kSlotMask) * sizeof(float), &value, sizeof value);
  }

 private:
  std::atomic_ref<uint64_t> position() const {
    return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(base_ + kWritePositionOffset));
  }
  uint32_t load32(size_t offset) const {
    uint32_t value;
    std::memcpy(&value, base_ + offset, sizeof value);
    return value;
  }
  void store32(size_t offset, uint32_t value) { std::memcpy(base_ + offset, &value, sizeof value); }

  uint8_t* base_;
};

}  // namespace tavlo::micring
