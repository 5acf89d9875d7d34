#pragma once
// One x265 encoder set up for interactive streaming: preset ultrafast with zerolatency tuning, no
// B-frames, no lookahead, one frame thread, no scene cuts, no keyframes of its own, constant QP chosen
// per frame by the caller (forceqp), parameter sets repeated in front of every keyframe, NAL units
// behind 4-byte big-endian lengths, and the colour description in the VUI. Each picture put in comes
// out at once: no frame is held back.
//
// Not thread-safe: one thread (the encode worker) uses an instance.
#include <cstdint>
#include <memory>

#include "platform/runtime/bytes.hpp"
#include "platform/video/color_description.hpp"

struct x265_encoder;
struct x265_param;
struct x265_picture;

namespace tavlo {

// A 4:2:0 picture in three planes (Y, Cb, Cr), each with its own row pitch.
struct I420Planes {
  const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
  int32_t strides[3] = {0, 0, 0};
};

struct X265Frame {
  Bytes data;         // the access unit, length-prefixed
  bool idr = false;   // an IDR picture (with the parameter sets in front)
  int32_t qp = 0;     // the slice QP it was coded with, from x265's frame statistics
};

class X265Encoder {
 public:
  // Sizes x265 accepts: at least one 8 × 8 block, at most what HEVC levels reach.
  static constexpr int32_t kMinSide = 8;
  static constexpr int32_t kMaxSide = 16384;

  // nullptr when x265 refuses the size.
  static std::unique_ptr<X265Encoder> open(int32_t width, int32_t height, const ColorDescription& color);
  ~X265Encoder();
  X265Encoder(const X265Encoder&) = delete;
  X265Encoder& operator=(const X265Encoder&) = delete;

  // Encodes one picture of the encoder's size at `qp` (0…51), as an IDR picture when `idr`. False when
  // x265 failed or gave nothing back.
  bool encode(const I420Planes& picture, int32_t qp, bool idr, int64_t pts, X265Frame& out);

  // VPS, SPS and PPS as an Annex-B stream.
  const Bytes& parameterSets() const { return parameterSets_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  const ColorDescription& color() const { return color_; }

 private:
  struct Release {
    void operator()(x265_encoder* encoder) const;
    void operator()(x265_param* param) const;
    void operator()(x265_picture* picture) const;
  };
  X265Encoder() = default;

  std::unique_ptr<x265_param, Release> param_;
  std::unique_ptr<x265_encoder, Release> encoder_;
  std::unique_ptr<x265_picture, Release> input_;
  std::unique_ptr<x265_picture, Release> output_;
  Bytes parameterSets_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  ColorDescription color_;
};

}  // namespace tavlo
