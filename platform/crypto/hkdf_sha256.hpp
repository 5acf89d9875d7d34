#pragma once
// HKDF with SHA-256 (extract, then expand).
#include <cstddef>
#include <optional>

#include "platform/runtime/bytes.hpp"

namespace tavlo::crypto {

// The largest output HKDF-SHA256 can give: 255 blocks of 32 bytes.
inline constexpr size_t hkdfSha256MaxOutput = 255 * 32;

// `outputLength` bytes of keying material; nullopt when more than hkdfSha256MaxOutput are asked for or
// the library fails. An empty salt stands for 32 zero bytes.
std::optional<Bytes> hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, size_t outputLength);

}  // namespace tavlo::crypto
