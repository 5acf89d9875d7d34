#pragma once
// The picture size that an HEVC sequence parameter set describes: the coded luma size less the
// conformance window, which is the size decoders hand out (1920 × 1080 for a stream coded as 1920 × 1088).
#include <cstdint>
#include <optional>

#include "platform/runtime/bytes.hpp"

namespace vela {

struct HEVCPictureSize {
  int32_t width = 0;
  int32_t height = 0;

  // From an SPS NAL unit (with its two-byte header, emulation-prevention bytes still in). nullopt for
  // another NAL type, a unit cut short, or values no stream can have (sizes of 0 or beyond the largest
  // HEVC level, a window larger than the picture).
  static std::optional<HEVCPictureSize> fromSps(tavlo::ByteView nal);

  bool operator==(const HEVCPictureSize&) const = default;
};

}  // namespace vela
