#include "media/hevc_picture_size.hpp"

#include <cstddef>

#include "media/hevc_nal_units.hpp"

namespace vela {
namespace {

// Level 6.2 bounds every HEVC picture: at most 35,651,584 luma samples, no side beyond 16,888.
constexpr uint64_t kMaxLumaPictureSize = 35'651'584;
constexpr uint64_t kMaxSide = 16'888;
// The SPS fields up to the conformance window fit in the first bytes; the rest is never read.
constexpr size_t kMaxRbspBytes = 128;

// Reads the RBSP bits of a NAL unit: the 00 00 03 emulation-prevention bytes are dropped on the way.
class RbspBitReader {
 public:
  explicit RbspBitReader(tavlo::ByteView payload) {
    size_t zeros = 0;
    for (uint8_t byte : payload) {
      if (rbsp_.size() == kMaxRbspBytes) break;
      if (zeros >= 2 && byte == 3) {
        zeros = 0;
        continue;
      }
      zeros = byte == 0 ? zeros + 1 : 0;
      rbsp_.push_back(byte);
    }
  }

  // Reads `count` (at most 32) bits; past the end every read fails.
  std::optional<uint32_t> bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      if (position_ >= rbsp_.size() * 8) return std::nullopt;
      uint8_t byte = rbsp_[position_ / 8];
      value = (value << 1) | ((byte >> (7 - position_ % 8)) & 1u);
      ++position_;
    }
    return value;
  }

  bool skip(size_t count) {
    if (count > rbsp_.size() * 8 - position_) return false;
    position_ += count;
    return true;
  }

  // Unsigned Exp-Golomb code; values need at most 32 leading zeros.
  std::optional<uint64_t> ue() {
    int leadingZeros = 0;
    for (;;) {
      auto bit = bits(1);
      if (!bit) return std::nullopt;
      if (*bit) break;
      if (++leadingZeros > 32) return std::nullopt;
    }
    auto suffix = bits(leadingZeros);
    if (!suffix) return std::nullopt;
    return ((uint64_t{1} << leadingZeros) - 1) + *suffix;
  }

 private:
  Bytes rbsp_;
  size_t position_ = 0;
};

// profile_tier_level(1, maxSubLayersMinus1): only skipped, its size depends on the flags it carries.
bool skipProfileTierLevel(RbspBitReader& reader, uint32_t maxSubLayersMinus1) {
  constexpr size_t kProfileBits = 88;  // space, tier, idc, compatibility and constraint flags
  constexpr size_t kLevelBits = 8;
  if (!reader.skip(kProfileBits + kLevelBits)) return false;
  bool profilePresent[8] = {};
  bool levelPresent[8] = {};
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    auto profile = reader.bits(1);
    auto level = reader.bits(1);
    if (!profile || !level) return false;
    profilePresent[i] = *profile != 0;
    levelPresent[i] = *level != 0;
  }
  if (maxSubLayersMinus1 > 0 && !reader.skip(2 * (8 - maxSubLayersMinus1))) return false;
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    if (profilePresent[i] && !reader.skip(kProfileBits)) return false;
    if (levelPresent[i] && !reader.skip(kLevelBits)) return false;
  }
  return true;
}

}  // namespace

std::optional<HEVCPictureSize> HEVCPictureSize::fromSps(tavlo::ByteView nal) {
  if (hevcNalType(nal) != static_cast<uint8_t>(HEVCNalType::sps) || (nal[0] & 0x80) != 0) return std::nullopt;
  RbspBitReader reader(nal.subspan(2));

  auto vpsId = reader.bits(4);
  auto maxSubLayersMinus1 = reader.bits(3);
  auto temporalIdNesting = reader.bits(1);
  if (!vpsId || !maxSubLayersMinus1 || !temporalIdNesting || *maxSubLayersMinus1 > 6) return std::nullopt;
  if (!skipProfileTierLevel(reader, *maxSubLayersMinus1)) return std::nullopt;

  auto spsId = reader.ue();
  auto chromaFormatIdc = reader.ue();
  if (!spsId || *spsId > 15 || !chromaFormatIdc || *chromaFormatIdc > 3) return std::nullopt;
  bool separateColourPlanes = false;
  if (*chromaFormatIdc == 3) {
    auto flag = reader.bits(1);
    if (!flag) return std::nullopt;
    separateColourPlanes = *flag != 0;
  }
  auto width = reader.ue();
  auto height = reader.ue();
  auto windowPresent = reader.bits(1);
  if (!width || !height || !windowPresent) return std::nullopt;
  if (*width == 0 || *height == 0 || *width > kMaxSide || *height > kMaxSide ||
      *width * *height > kMaxLumaPictureSize) {
    return std::nullopt;
  }

  uint64_t croppedWidth = *width;
  uint64_t croppedHeight = *height;
  if (*windowPresent) {
    // Window offsets count chroma samples: 4:2:0 halves both directions, 4:2:2 only the horizontal.
    const bool chroma = !separateColourPlanes && *chromaFormatIdc != 0;
    const uint64_t subWidth = chroma && *chromaFormatIdc != 3 ? 2 : 1;
    const uint64_t subHeight = chroma && *chromaFormatIdc == 1 ? 2 : 1;
    uint64_t offsets[4] = {};  // left, right, top, bottom
    for (uint64_t& offset : offsets) {
      auto value = reader.ue();
      if (!value || *value > kMaxSide) return std::nullopt;
      offset = *value;
    }
    const uint64_t cutWidth = subWidth * (offsets[0] + offsets[1]);
    const uint64_t cutHeight = subHeight * (offsets[2] + offsets[3]);
    if (cutWidth >= croppedWidth || cutHeight >= croppedHeight) return std::nullopt;
    croppedWidth -= cutWidth;
    croppedHeight -= cutHeight;
  }
  return HEVCPictureSize{static_cast<int32_t>(croppedWidth), static_cast<int32_t>(croppedHeight)};
}

}  // namespace vela
