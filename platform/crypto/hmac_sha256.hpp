#pragma once
// HMAC with SHA-256, and the constant-time comparison every check of a secret value goes through.
#include <array>
#include <cstdint>
#include <optional>

#include "platform/runtime/bytes.hpp"

namespace tavlo::crypto {

using HmacSha256Tag = std::array<uint8_t, 32>;

// nullopt only when the library itself fails. Any key length is allowed, the empty key too.
std::optional<HmacSha256Tag> hmacSha256(ByteView key, ByteView message);

// Whether `tag` is the full 32-byte HMAC of `message` under `key`. The bytes are compared in constant
// time; a tag of another length (a truncated one too) is never valid.
bool isValidHmacSha256(ByteView tag, ByteView key, ByteView message);

// Byte-wise equality whose time depends only on the lengths (which are not secret).
bool constantTimeEqual(ByteView a, ByteView b);

}  // namespace tavlo::crypto
