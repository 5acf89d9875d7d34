#pragma once
// SHA-256.
#include <array>
#include <cstdint>
#include <optional>

#include "platform/runtime/bytes.hpp"

namespace tavlo::crypto {

using Sha256Digest = std::array<uint8_t, 32>;

// nullopt only when the library itself fails (no SHA-256 provider, out of memory).
std::optional<Sha256Digest> sha256(ByteView data);

}  // namespace tavlo::crypto
