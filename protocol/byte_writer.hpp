#pragma once
// Little-endian encoder of integers, floats, length-prefixed strings and blobs into a growing buffer.
// The writer only appends and never fails; strings and blobs longer than their prefix can count are cut.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/runtime/bytes.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

class ByteWriter {
 public:
  ByteWriter() = default;
  explicit ByteWriter(size_t capacity) { data_.reserve(capacity); }

  void u8(uint8_t value) { data_.push_back(value); }
  void u16(uint16_t value) { appendLittleEndian(value, 2); }
  void i16(int16_t value) { u16(static_cast<uint16_t>(value)); }
  void u32(uint32_t value) { appendLittleEndian(value, 4); }
  void u64(uint64_t value) { appendLittleEndian(value, 8); }
  void f32(float value) { u32(std::bit_cast<uint32_t>(value)); }

  // 1-byte length, then the first min(255, size) bytes of the UTF-8 text (cut at a byte count, which
  // may fall inside a character; the reader repairs it).
  void stringU8(std::string_view text);
  // 2-byte length, then the first min(65,535, size) bytes.
  void stringU16(std::string_view text);
  // 2-byte length, then the first min(65,535, size) bytes of the blob.
  void blobU16(ByteView blob);
  // 4-byte length, then the whole blob (callers keep blobs under 4 GiB).
  void blobU32(ByteView blob);
  void raw(ByteView bytes) { data_.insert(data_.end(), bytes.begin(), bytes.end()); }

  const Bytes& data() const { return data_; }
  Bytes take() { return std::move(data_); }

 private:
  void appendLittleEndian(uint64_t value, size_t width) {
    size_t at = data_.size();
    data_.resize(at + width);
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(data_.data() + at, &value, width);
    } else {
      for (size_t i = 0; i < width; ++i) data_[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
  }

  Bytes data_;
};

}  // namespace vela
