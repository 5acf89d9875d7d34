#include "protocol/byte_reader.hpp"

namespace vela {

namespace {

constexpr char replacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed sequence that starts at `i`, or of the maximal subpart of an ill-formed
// one as a negative number (at least 1 byte), following the Unicode table of well-formed UTF-8.
int sequenceAt(ByteView s, size_t i) {
  uint8_t lead = s[i];
  if (lead < 0x80) return 1;
  int length;
  uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;  // 80..C1, F5..FF never start a character
  }
  for (int k = 1; k < length; ++k) {
    if (i + k >= s.size()) return -k;
    uint8_t b = s[i + k];
    uint8_t lo = k == 1 ? low : 0x80, hi = k == 1 ? high : 0xBF;
    if (b < lo || b > hi) return -k;
  }
  return length;
}

}  // namespace

std::string ByteReader::repairedUtf8(ByteView bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    int n = sequenceAt(bytes, i);
    if (n > 0) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), static_cast<size_t>(n));
      i += static_cast<size_t>(n);
    } else {
      out += replacement;
      i += static_cast<size_t>(-n);
    }
  }
  return out;
}

}  // namespace vela
