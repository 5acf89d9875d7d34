#pragma once
// The bytes FakeEncoder puts out: parameter sets whose SPS is real up to the picture size (so that a
// reader of the stream's size sees the session's size), and slice NAL units of any length that never
// hold a start code.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

struct FakeBitstream {
  static constexpr size_t kLengthPrefix = 4;

  // VPS, SPS and PPS NAL units, in that order.
  static std::vector<Bytes> parameterSets(int32_t width, int32_t height);
  // The same as an Annex-B stream (each behind 00 00 00 01).
  static Bytes parameterSetsAnnexB(int32_t width, int32_t height);
  // A slice NAL unit of `type` and `bytes` bytes (at least its two-byte header) that depends on `frame`.
  static Bytes slice(uint8_t type, size_t bytes, int64_t frame);
  // Appends the unit behind its 4-byte big-endian length.
  static void appendLengthPrefixed(Bytes& out, const Bytes& nal);
};

}  // namespace tavlo
