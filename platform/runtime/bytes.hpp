#pragma once
// Owned byte buffers and views over them: the system's one representation of packet and file bytes.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavlo {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string toString(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

// Lower-case hexadecimal, two digits a byte.
std::string hexString(ByteView bytes);
// The value of one hexadecimal digit (either case), -1 for any other character.
int hexDigitValue(char c);

}  // namespace tavlo
