#pragma once
// Text as X keysyms, for typing characters through keycodes bound to them for the moment.
#include <cstdint>
#include <string>
#include <string_view>

namespace tavlo {

// The keysym that types the character: Latin-1 characters are their own keysyms, every other
// character is its Unicode keysym (0x01000000 + code point); newlines type Return and a tab Tab.
// 0 for what cannot be typed: other control characters, surrogates, values past U+10FFFF.
uint32_t keysymForCodePoint(char32_t codePoint);

// The characters of UTF-16 text; an unpaired surrogate reads as U+FFFD.
std::u32string codePointsOf(std::u16string_view text);

}  // namespace tavlo
