#pragma once
// The parameter-set NAL units of an HEVC stream (VPS, SPS, PPS in the encoder's order) on their way
// from the encoder over the wire to a decoder, and the compact blob that carries them:
//
//   n (1 byte, 0..255), then n times: length (u32 little-endian) and that many bytes of one set.
//
// The blob does not carry the length-prefix size of the stream's samples; a record read from a blob
// always has 4.
#include <cstdint>
#include <optional>
#include <vector>

#include "media/hevc_picture_size.hpp"
#include "platform/runtime/bytes.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

// What a decoder is opened with: the sets as an Annex-B stream (each behind 00 00 00 01, the form
// libavcodec takes as extradata), the picture size of the first SPS, and the length-prefix size of
// the samples it will be given.
struct HEVCDecoderConfig {
  Bytes annexB;
  HEVCPictureSize size;
  int32_t nalUnitHeaderLength = 4;
};

struct HEVCParameterSets {
  static constexpr size_t kMaxSets = 255;

  std::vector<Bytes> sets;  // NAL units without start codes or length prefixes
  int32_t nalUnitHeaderLength = 4;

  // The VPS, SPS and PPS units of an encoder's Annex-B output (its header units, or a keyframe with
  // in-band sets), in stream order. nullopt when it holds none.
  static std::optional<HEVCParameterSets> extract(ByteView annexB);

  // The blob. Sets beyond the 255th are not written.
  Bytes serialize() const;

  // The record a blob describes; nullopt for an empty input or one that ends inside a length or a set.
  // A count of 0 is a record without sets; bytes after the last set are ignored.
  static std::optional<HEVCParameterSets> fromSerialized(ByteView blob);

  // The decoder's configuration; nullopt unless the sets hold a VPS, a readable SPS and a PPS, and
  // every set is a well-formed NAL unit.
  std::optional<HEVCDecoderConfig> makeDecoderConfig() const;

  bool operator==(const HEVCParameterSets&) const = default;
};

}  // namespace vela
