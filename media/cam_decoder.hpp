#pragma once
// The client's camera stream: HEVC, one access unit per call, each NAL unit behind a 4-byte big-endian
// length, decoded synchronously into BGRA pictures for the virtual camera. The decoder runs slice
// threads only, so every access unit put in gives its picture back at once (frame threads would hold
// pictures back by one frame per thread).
//
// Bad input never ends the stream, and never shows a broken picture. A picture is decoded against the
// pictures before it: once one of those is missing, libavcodec would conceal the gap with grey patches
// in every picture until the next keyframe. So from a unit that cannot be decoded (malformed, damaged,
// empty) or one the owner says was lost on the way, no picture is given until the next keyframe
// decodes cleanly; the stream starts that way too.
//
// Not thread-safe: one task at a time uses an instance.
#include <cstdint>
#include <memory>
#include <optional>

#include "media/hevc_picture_size.hpp"
#include "media/pixel_buffer.hpp"
#include "platform/runtime/bytes.hpp"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace vela {

using tavlo::ByteView;

class CamDecoder {
 public:
  // `hvcc` is the parameter-set blob of the camera configuration. `width` and `height` are not used:
  // the sets carry the picture size (the session passes 0 × 0). `threads` is the number of slice
  // threads, 0 for one per core. nullptr when the blob is truncated or foreign, or the decoder refuses
  // the sets.
  static std::unique_ptr<CamDecoder> create(int width, int height, ByteView hvcc, int threads = 0);

  ~CamDecoder();
  CamDecoder(const CamDecoder&) = delete;
  CamDecoder& operator=(const CamDecoder&) = delete;

  // The picture of one access unit, in the size its SPS gives; nullopt when there is none.
  std::optional<PixelBuffer> decode(ByteView accessUnit, uint64_t ptsUs);
  // A unit of the stream never reached this decoder (lost, cut short, given up): the pictures after it
  // are withheld until the next keyframe.
  void unitLost() { waitingForKeyframe_ = true; }
  // Whether pictures are withheld until the next keyframe.
  bool waitingForKeyframe() const { return waitingForKeyframe_; }

  // The picture size of the configuration's SPS.
  HEVCPictureSize pictureSize() const { return size_; }

 private:
  struct Release {
    void operator()(AVCodecContext* context) const;
    void operator()(AVFrame* frame) const;
    void operator()(AVPacket* packet) const;
    void operator()(SwsContext* scaler) const;
  };
  struct ScalerKey {
    int format = -1;
    int width = 0;
    int height = 0;
    int colorspace = -1;
    int range = -1;
    bool operator==(const ScalerKey&) const = default;
  };

  CamDecoder() = default;
  // Whether the unit went into libavcodec; `keyframe` says whether it holds a random-access picture,
  // `picture` whether it holds a picture's slices at all.
  bool sendAccessUnit(ByteView accessUnit, uint64_t ptsUs, bool& keyframe, bool& picture);
  // Takes the pictures libavcodec has ready and keeps the newest clean one; a damaged one means a
  // reference is broken from here on.
  bool receiveNewestPicture();
  std::optional<PixelBuffer> toBGRA(const AVFrame& frame);

  std::unique_ptr<AVCodecContext, Release> context_;
  std::unique_ptr<AVPacket, Release> packet_;
  std::unique_ptr<AVFrame, Release> received_;
  std::unique_ptr<AVFrame, Release> newest_;
  std::unique_ptr<SwsContext, Release> scaler_;
  ScalerKey scalerKey_;
  HEVCPictureSize size_;
  int nalUnitHeaderLength_ = 4;
  bool waitingForKeyframe_ = true;
};

}  // namespace vela
