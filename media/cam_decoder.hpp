#pragma once
// The client's camera stream: HEVC, one access unit per call, each NAL unit behind a 4-byte big-endian
// length, decoded synchronously into BGRA pictures for the virtual camera. The decoder runs slice
// threads only, so every access unit put in gives its picture back at once (frame threads would hold
// pictures back by one frame per thread).
//
// Bad input never ends the stream: an access unit that cannot be decoded (malformed, damaged, empty,
// or a picture before the first keyframe) gives no picture, and the next good one decodes.
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
  bool sendAccessUnit(ByteView accessUnit, uint64_t ptsUs);
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
  bool keyframeSeen_ = false;
};

}  // namespace vela
