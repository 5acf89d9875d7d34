#include "tests/testkit/hex.hpp"

#include <cctype>
#include <stdexcept>

namespace tavlo::testkit {

Bytes fromHex(std::string_view text) {
  Bytes out;
  int pending = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '\n' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("not hex");
    int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    if (pending < 0) {
      pending = digit;
    } else {
      out.push_back(static_cast<uint8_t>(pending * 16 + digit));
      pending = -1;
    }
  }
  if (pending >= 0) throw std::invalid_argument("odd number of hex digits");
  return out;
}

std::string toHex(ByteView bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ' ';
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0x0F];
  }
  return out;
}

}  // namespace tavlo::testkit
