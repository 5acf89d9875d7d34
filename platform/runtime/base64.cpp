#include "platform/runtime/base64.hpp"

#include <array>

namespace tavlo {

namespace {
constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> decodingTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr auto decoding = decodingTable();
}  // namespace

std::string base64Encode(ByteView bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t group = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) text += alphabet[(group >> shift) & 0x3F];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t group = uint32_t(bytes[i]) << 16 | (rest == 2 ? uint32_t(bytes[i + 1]) << 8 : 0);
    text += alphabet[(group >> 18) & 0x3F];
    text += alphabet[(group >> 12) & 0x3F];
    text += rest == 2 ? alphabet[(group >> 6) & 0x3F] : '=';
    text += '=';
  }
  return text;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    size_t digits = last ? 4 - padding : 4;
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      int value = 0;
      if (j < digits) {
        value = decoding[static_cast<uint8_t>(text[i + j])];
        if (value < 0) return std::nullopt;
      } else if (text[i + j] != '=') {
        return std::nullopt;
      }
      group = group << 6 | static_cast<uint32_t>(value);
    }
    out.push_back(static_cast<uint8_t>(group >> 16));
    if (digits >= 3) out.push_back(static_cast<uint8_t>(group >> 8));
    if (digits == 4) out.push_back(static_cast<uint8_t>(group));
    // Bits that the padding drops must be zero, or two texts would decode to the same bytes.
    if ((digits == 2 && (group & 0xFFFF) != 0) || (digits == 3 && (group & 0xFF) != 0)) return std::nullopt;
  }
  return out;
}

}  // namespace tavlo
