#pragma once
// The matching decoder over a byte range. Every read checks that enough bytes remain and otherwise
// throws WireError::underflow; nothing is ever read past the end.
//
// The reader views its bytes without copying them: the buffer must outlive the reader. Copying a
// reader copies its position.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/runtime/bytes.hpp"
#include "protocol/wire_error.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(ByteView data) : data_(data) {}

  uint8_t u8() { return static_cast<uint8_t>(littleEndian(1)); }
  uint16_t u16() { return static_cast<uint16_t>(littleEndian(2)); }
  int16_t i16() { return static_cast<int16_t>(u16()); }
  uint32_t u32() { return static_cast<uint32_t>(littleEndian(4)); }
  uint64_t u64() { return littleEndian(8); }
  float f32() { return std::bit_cast<float>(u32()); }

  // Length-prefixed reads consume the prefix even when the body is short (and then throw underflow).
  // Strings are decoded as UTF-8 with every maximal invalid subpart replaced by U+FFFD.
  std::string stringU8() { return repairedUtf8(take(u8())); }
  std::string stringU16() { return repairedUtf8(take(u16())); }
  Bytes blobU16() { return copy(take(u16())); }
  Bytes blobU32() { return copy(take(u32())); }
  Bytes raw(size_t count) { return copy(take(count)); }
  // The next `count` bytes without copying them.
  ByteView view(size_t count) { return take(count); }

  // The rest of the packet (possibly empty); never fails.
  Bytes rest() { return copy(take(remaining())); }
  ByteView restView() { return take(remaining()); }

  size_t offset() const { return offset_; }
  size_t end() const { return data_.size(); }
  size_t remaining() const { return data_.size() - offset_; }
  bool isAtEnd() const { return offset_ >= data_.size(); }
  ByteView data() const { return data_; }

  // UTF-8 decoding with repair, as the string reads do it.
  static std::string repairedUtf8(ByteView bytes);

 private:
  ByteView take(size_t count) {
    if (count > remaining()) throw WireError::underflow();
    ByteView out = data_.subspan(offset_, count);
    offset_ += count;
    return out;
  }
  uint64_t littleEndian(size_t width) {
    ByteView bytes = take(width);
    uint64_t value = 0;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&value, bytes.data(), width);
    } else {
      for (size_t i = 0; i < width; ++i) value |= uint64_t(bytes[i]) << (8 * i);
    }
    return value;
  }
  static Bytes copy(ByteView bytes) { return Bytes(bytes.begin(), bytes.end()); }

  ByteView data_;
  size_t offset_ = 0;
};

}  // namespace vela
