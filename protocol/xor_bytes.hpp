#pragma once
// XOR of one byte range into another, word by word: the inner loop of the video parity on both the
// sending side (building a group's parity) and the receiving side (rebuilding a lost chunk).
#include <cstdint>
#include <span>

#include "platform/runtime/bytes.hpp"

namespace vela {

// dst[i] ^= src[i] for every i below src.size(). `dst` must be at least as long as `src`; a shorter
// `src` acts as if padded with zeros, which is how the parity treats a short member. The ranges may
// have any alignment and must not overlap.
void xorInto(std::span<uint8_t> dst, tavlo::ByteView src);

// The same for every source in turn, but reading and writing `dst` once for every four sources: a
// parity group's members are XORed together in one sweep instead of one sweep per member.
void xorAllInto(std::span<uint8_t> dst, std::span<const tavlo::ByteView> sources);

}  // namespace vela
