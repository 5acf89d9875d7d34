#pragma once
// Standard Base64 (RFC 4648 section 4) with padding and without line breaks.
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

std::string base64Encode(ByteView bytes);

// Strict decoding: the length must be a multiple of 4, only the alphabet and final padding may appear,
// and the unused bits of the last character must be zero (so every text has exactly one decoding).
// nullopt otherwise; whitespace is not skipped.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace tavlo
