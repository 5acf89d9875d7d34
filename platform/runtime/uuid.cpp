#include "platform/runtime/uuid.hpp"

#include <algorithm>

#include "platform/runtime/random.hpp"

namespace tavlo {

namespace {
constexpr bool isHyphenAt(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }
}  // namespace

Uuid Uuid::random() {
  Uuid id;
  SystemRandom::shared().fill(id.bytes);
  id.bytes[6] = static_cast<uint8_t>(0x40 | (id.bytes[6] & 0x0F));
  id.bytes[8] = static_cast<uint8_t>(0x80 | (id.bytes[8] & 0x3F));
  return id;
}

std::optional<Uuid> Uuid::fromBytes(ByteView bytes) {
  if (bytes.size() != 16) return std::nullopt;
  Uuid id;
  std::copy(bytes.begin(), bytes.end(), id.bytes.begin());
  return id;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Uuid id;
  size_t byte = 0;
  for (size_t i = 0; i < text.size();) {
    if (isHyphenAt(i)) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int high = hexDigitValue(text[i]);
    int low = hexDigitValue(text[i + 1]);
    if (high < 0 || low < 0 || isHyphenAt(i + 1)) return std::nullopt;
    id.bytes[byte++] = static_cast<uint8_t>(high << 4 | low);
    i += 2;
  }
  return id;
}

std::string Uuid::uuidString() const {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace tavlo
