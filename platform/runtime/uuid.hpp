#pragma once
// A 128-bit universally unique identifier: 16 bytes in their canonical (big-endian, RFC 4122) order.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

struct Uuid {
  std::array<uint8_t, 16> bytes{};

  // A random (version 4) identifier from the secure random source.
  static Uuid random();
  // The identifier of these 16 bytes; nullopt for any other length.
  static std::optional<Uuid> fromBytes(ByteView bytes);
  // Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in either case; nullopt for anything else.
  static std::optional<Uuid> parse(std::string_view text);

  // Canonical text: upper-case hexadecimal with hyphens, 36 characters.
  std::string uuidString() const;
  ByteView view() const { return ByteView(bytes.data(), bytes.size()); }
  uint8_t version() const { return bytes[6] >> 4; }
  // The two top bits of byte 8 (0b10 for RFC 4122 identifiers).
  uint8_t variantBits() const { return bytes[8] >> 6; }

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

}  // namespace tavlo
