#include "protocol/clipboard/clip_file_name.hpp"

#include <cstdint>

#include "platform/runtime/uuid.hpp"
#include "protocol/byte_reader.hpp"

namespace vela {

namespace {

// Length of the (well-formed) UTF-8 sequence that starts with `lead`.
size_t sequenceLength(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  return 2;
}

// C0 controls (NUL among them), DEL, and the C1 controls U+0080..U+009F (encoded C2 80..C2 9F).
bool isControl(std::string_view character) {
  auto lead = static_cast<uint8_t>(character[0]);
  if (character.size() == 1) return lead < 0x20 || lead == 0x7F;
  return character.size() == 2 && lead == 0xC2 && static_cast<uint8_t>(character[1]) <= 0x9F;
}

}  // namespace

std::string sanitizeClipFileName(std::string_view name, size_t maxBytes) {
  const std::string valid =
      ByteReader::repairedUtf8(tavlo::ByteView(reinterpret_cast<const uint8_t*>(name.data()), name.size()));

  // Walk the characters once: controls are dropped, a separator starts a new component, and the last
  // component that has any character in it wins.
  std::string component, lastNonEmpty;
  for (size_t i = 0; i < valid.size();) {
    size_t length = sequenceLength(static_cast<uint8_t>(valid[i]));
    std::string_view character(valid.data() + i, length);
    i += length;
    if (isControl(character)) continue;
    if (character == "/" || character == "\\") {
      if (!component.empty()) lastNonEmpty = std::move(component);
      component.clear();
      continue;
    }
    component.append(character);
  }
  std::string result = component.empty() ? std::move(lastNonEmpty) : std::move(component);

  // Cut on a character boundary: drop whole characters from the end until it fits.
  if (result.size() > maxBytes) {
    size_t cut = maxBytes;
    while (cut > 0 && (static_cast<uint8_t>(result[cut]) & 0xC0) == 0x80) --cut;
    result.resize(cut);
  }
  if (result.empty() || result == "." || result == "..") return std::string(neutralClipFileName);
  return result;
}

std::string clipTempFileName(std::string_view itemName) {
  std::string uuid = tavlo::Uuid::random().uuidString();
  if (itemName.empty()) return "clip-" + uuid;
  // The UUID and its dash take 37 of the component's bytes; the name gets the rest.
  return uuid + "-" + sanitizeClipFileName(itemName, maxFileNameBytes - uuid.size() - 1);
}

}  // namespace vela
