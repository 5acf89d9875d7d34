#include "protocol/byte_writer.hpp"

#include <algorithm>

namespace vela {

namespace {
ByteView textBytes(std::string_view text, size_t limit) {
  return ByteView(reinterpret_cast<const uint8_t*>(text.data()), std::min(text.size(), limit));
}
}  // namespace

void ByteWriter::stringU8(std::string_view text) {
  auto bytes = textBytes(text, 0xFF);
  u8(static_cast<uint8_t>(bytes.size()));
  raw(bytes);
}

void ByteWriter::stringU16(std::string_view text) {
  auto bytes = textBytes(text, 0xFFFF);
  u16(static_cast<uint16_t>(bytes.size()));
  raw(bytes);
}

void ByteWriter::blobU16(ByteView blob) {
  auto cut = blob.first(std::min<size_t>(blob.size(), 0xFFFF));
  u16(static_cast<uint16_t>(cut.size()));
  raw(cut);
}

void ByteWriter::blobU32(ByteView blob) {
  u32(static_cast<uint32_t>(blob.size()));
  raw(blob);
}

}  // namespace vela
