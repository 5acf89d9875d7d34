#pragma once
// One x265 encoder set up for interactive streaming: preset ultrafast with zerolatency tuning, no
// B-frames, no lookahead, one frame thread (its rows over the pool X265Threading describes), no scene
// cuts, no keyframes of its own, constant QP chosen per frame by the caller (forceqp), parameter sets
// repeated in front of every keyframe, NAL units behind 4-byte big-endian lengths, and the colour
// description in the VUI. Each picture put in comes out at once: no frame is held back.
//
// Not thread-safe: one thread (the encode worker) uses an instance.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/bytes.hpp"
#include "platform/video/nv12_buffer.hpp"
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

// `image` as x265 takes it: luma read in place, the interleaved chroma split into two planes kept in
// `chroma` (resized to fit; a caller that keeps it allocates once). Valid while both live unchanged.
I420Planes i420PlanesOf(const Nv12Buffer& image, std::vector<uint8_t>& chroma);

// How x265 spreads one picture over threads. The host keeps x265's pool of one worker per core with
// rows coded as a wavefront, and turns the lookahead's slices off (with no lookahead, B-frames, scene
// cuts or adaptive QP they only add hand-overs between threads). Smaller pools were measured, frame by
// frame against this one on a machine busy with other work (BM_X265Threading): they are no steadier,
// and slower, because a process with fewer threads gets a smaller share of a busy machine.
struct X265Threading {
  int32_t poolThreads = 0;      // workers in x265's pool; 0: one per core
  bool wavefront = true;        // rows of a picture coded in parallel (needs poolThreads != 1)
  int32_t lookaheadSlices = 0;  // slices of the lookahead's cost estimates

  // What the host encodes with.
  static X265Threading steady() { return {}; }
  // What the preset alone gives (the host's set-up before), for the benchmarks to compare.
  static X265Threading presetDefault() { return {0, true, 8}; }
  friend bool operator==(const X265Threading&, const X265Threading&) = default;
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
  static std::unique_ptr<X265Encoder> open(int32_t width, int32_t height, const ColorDescription& color,
                                           const X265Threading& threading = X265Threading::steady());
  ~X265Encoder();
  X265Encoder(const X265Encoder&) = delete;
  X265Encoder& operator=(const X265Encoder&) = delete;

  // Encodes one picture of the encoder's size at `qp` (0…51), as an IDR picture when `idr`. False when
  // x265 failed or gave nothing back.
  bool encode(const I420Planes& picture, int32_t qp, bool idr, int64_t pts, X265Frame& out);

  // x265 allocates and first touches its pictures' memory over the first pictures it codes, which
  // then take several times a steady frame's time. This codes that many flat pictures and throws them
  // away, so that the stream's own first frames come at the steady pace; the next picture put in is
  // coded as an IDR picture whatever the caller asks, so nothing refers to the thrown-away ones.
  // Pictures' times must be ≥ 0 after it.
  void warmUp();

  // VPS, SPS and PPS as an Annex-B stream.
  const Bytes& parameterSets() const { return parameterSets_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  const ColorDescription& color() const { return color_; }
  const X265Threading& threading() const { return threading_; }

 private:
  struct Release {
    void operator()(x265_encoder* encoder) const;
    void operator()(x265_param* param) const;
    void operator()(x265_picture* picture) const;
  };
  X265Encoder() = default;

  std::string pools_;  // what param_->numaPools points to
  std::unique_ptr<x265_param, Release> param_;
  std::unique_ptr<x265_encoder, Release> encoder_;
  std::unique_ptr<x265_picture, Release> input_;
  std::unique_ptr<x265_picture, Release> output_;
  Bytes parameterSets_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  ColorDescription color_;
  X265Threading threading_;
  bool nextMustBeIdr_ = false;
};

}  // namespace tavlo
