#include "platform/encoder/fake_bitstream.hpp"

#include <algorithm>

namespace tavlo {
namespace {

constexpr int32_t kMinCodingBlock = 8;  // coded sizes are multiples of the smallest coding block
constexpr size_t kSliceHeaderBytes = 2;

class BitWriter {
 public:
  void bits(uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1u);
  }
  void ue(uint64_t value) {
    const uint64_t coded = value + 1;
    int length = 0;
    while ((coded >> length) > 1) ++length;
    bits(0, length);
    bits(coded, length + 1);
  }
  // rbsp_trailing_bits, then the bytes with emulation prevention (00 00 0x → 00 00 03 0x for x ≤ 3).
  Bytes finish() {
    bit(1);
    while (count_ % 8 != 0) bit(0);
    Bytes out;
    int zeros = 0;
    for (uint8_t byte : rbsp_) {
      if (zeros >= 2 && byte <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      out.push_back(byte);
      zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
  }

 private:
  void bit(uint64_t value) {
    if (count_ % 8 == 0) rbsp_.push_back(0);
    if (value) rbsp_.back() |= static_cast<uint8_t>(0x80u >> (count_ % 8));
    ++count_;
  }
  Bytes rbsp_;
  size_t count_ = 0;
};

// An SPS of HEVC Main 4:2:0 whose picture (after the conformance window) is width × height; it stops after
// the fields a reader of the picture size needs.
Bytes makeSps(int32_t width, int32_t height) {
  const auto codedW = static_cast<uint64_t>((width + kMinCodingBlock - 1) / kMinCodingBlock * kMinCodingBlock);
  const auto codedH = static_cast<uint64_t>((height + kMinCodingBlock - 1) / kMinCodingBlock * kMinCodingBlock);
  BitWriter writer;
  writer.bits(0, 4);  // sps_video_parameter_set_id
  writer.bits(0, 3);  // sps_max_sub_layers_minus1
  writer.bits(1, 1);  // sps_temporal_id_nesting_flag
  writer.bits(0, 2);  // general_profile_space
  writer.bits(0, 1);  // general_tier_flag
  writer.bits(1, 5);  // general_profile_idc: Main
  writer.bits(0x60000000, 32);  // compatible with Main and Main 10
  writer.bits(0b1001, 4);  // progressive, not interlaced, not non-packed, frame only
  writer.bits(0, 44);  // reserved constraint flags
  writer.bits(153, 8);  // general_level_idc: 5.1
  writer.ue(0);  // sps_seq_parameter_set_id
  writer.ue(1);  // chroma_format_idc: 4:2:0
  writer.ue(codedW);
  writer.ue(codedH);
  const bool window = codedW != static_cast<uint64_t>(width) || codedH != static_cast<uint64_t>(height);
  writer.bits(window ? 1 : 0, 1);
  if (window) {
    writer.ue(0);
    writer.ue((codedW - static_cast<uint64_t>(width)) / 2);
    writer.ue(0);
    writer.ue((codedH - static_cast<uint64_t>(height)) / 2);
  }
  writer.ue(0);  // bit_depth_luma_minus8
  writer.ue(0);  // bit_depth_chroma_minus8
  Bytes sps = {0x42, 0x01};
  Bytes body = writer.finish();
  sps.insert(sps.end(), body.begin(), body.end());
  return sps;
}

void appendAnnexB(Bytes& out, const Bytes& nal) {
  out.insert(out.end(), {0, 0, 0, 1});
  out.insert(out.end(), nal.begin(), nal.end());
}

const Bytes kVps = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x99, 0xAC, 0x09};
const Bytes kPps = {0x44, 0x01, 0xC1, 0x72, 0xB4, 0x62, 0x40};

}  // namespace

std::vector<Bytes> FakeBitstream::parameterSets(int32_t width, int32_t height) {
  return {kVps, makeSps(width, height), kPps};
}

Bytes FakeBitstream::parameterSetsAnnexB(int32_t width, int32_t height) {
  Bytes annexB;
  for (const Bytes& set : parameterSets(width, height)) appendAnnexB(annexB, set);
  return annexB;
}

Bytes FakeBitstream::slice(uint8_t type, size_t bytes, int64_t frame) {
  Bytes slice(std::max(bytes, kSliceHeaderBytes));
  slice[0] = static_cast<uint8_t>(type << 1);
  slice[1] = 0x01;
  // Payload bytes of 0x10 and above never form a start code.
  for (size_t i = kSliceHeaderBytes; i < slice.size(); ++i) {
    slice[i] = static_cast<uint8_t>(0x10 + (static_cast<uint64_t>(frame) * 31 + i * 7) % 0xEF);
  }
  return slice;
}

void FakeBitstream::appendLengthPrefixed(Bytes& out, const Bytes& nal) {
  const auto length = static_cast<uint32_t>(nal.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(length >> shift));
  out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace tavlo
