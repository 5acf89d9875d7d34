#include "platform/input/text_keysyms.hpp"

namespace tavlo {
namespace {

constexpr uint32_t kReturnKeysym = 0xFF0D;
constexpr uint32_t kTabKeysym = 0xFF09;
constexpr uint32_t kUnicodeKeysymBase = 0x01000000;
constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

uint32_t keysymForCodePoint(char32_t cp) {
  if (cp == U'\n' || cp == U'\r') return kReturnKeysym;
  if (cp == U'\t') return kTabKeysym;
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return 0;
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  if (cp < 0x100) return cp;
  return kUnicodeKeysymBase + cp;
}

std::u32string codePointsOf(std::u16string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (isHighSurrogate(u) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      out.push_back(0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (isHighSurrogate(u) || isLowSurrogate(u)) {
      out.push_back(kReplacement);
    } else {
      out.push_back(u);
    }
  }
  return out;
}

}  // namespace tavlo
