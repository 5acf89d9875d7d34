#include "host/controller/clip_paste_name.hpp"

#include <cstdint>

namespace tavlo {
namespace {

// The length of the UTF-8 sequence starting at `i`, or 0 when it is not a valid one.
size_t utf8SequenceLength(std::string_view s, size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  size_t length = 0;
  uint32_t cp = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) { length = 2; cp = lead & 0x1F; }
  else if ((lead & 0xF0) == 0xE0) { length = 3; cp = lead & 0x0F; }
  else if ((lead & 0xF8) == 0xF0) { length = 4; cp = lead & 0x07; }
  else return 0;
  if (i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not characters.
  static constexpr uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < minimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

bool isControl(std::string_view character) {
  if (character.size() == 1) {
    const auto c = static_cast<unsigned char>(character[0]);
    return c < 0x20 || c == 0x7F;
  }
  // C1 controls U+0080…U+009F are C2 80…C2 9F.
  return character.size() == 2 && static_cast<unsigned char>(character[0]) == 0xC2 &&
         static_cast<unsigned char>(character[1]) < 0xA0;
}

std::string_view lastComponent(std::string_view name) {
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  if (name == "/") return name;
  const size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

}  // namespace

std::string clipPasteFileName(std::string_view name) {
  const std::string_view last = lastComponent(name);
  std::string out;
  size_t chars = 0;
  for (size_t i = 0; i < last.size() && chars < clipFileNameMaxChars;) {
    const size_t length = utf8SequenceLength(last, i);
    std::string_view character = length ? last.substr(i, length) : last.substr(i, 1);
    i += character.size();
    if (!length || character == "/" || isControl(character)) character = "_";
    if (out.size() + character.size() > clipFileNameMaxBytes) break;
    out += character;
    ++chars;
  }
  if (out.empty() || out == "." || out == "..") return std::string(clipFallbackFileName);
  return out;
}

bool isValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = utf8SequenceLength(bytes, i);
    if (!length) return false;
    i += length;
  }
  return true;
}

}  // namespace tavlo
