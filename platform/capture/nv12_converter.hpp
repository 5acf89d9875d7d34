#pragma once
// The screen's BGRX pictures to the stream's NV12 (BT.709 matrix, video range) at the size the stream
// asks for, scaled bilinearly when the sizes differ. libswscale does the work, cut into horizontal
// slices that run on its own threads: at full HD the conversion costs more than the grab, and one core
// would make it the slowest step of the pipeline.
//
// Not thread-safe: one caller at a time (the capture thread).
#include <cstdint>
#include <memory>

struct SwsContext;
struct AVFrame;

namespace tavlo {

// A picture in memory as the X server writes it: 4 bytes a pixel (B, G, R, unused), rows
// `bytesPerRow` apart.
struct BgrxView {
  const uint8_t* pixels = nullptr;
  int32_t bytesPerRow = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// NV12: a luma plane and an interleaved Cb/Cr plane of half the height (rounded up), each with its own
// row pitch.
struct Nv12View {
  uint8_t* luma = nullptr;
  int32_t lumaBytesPerRow = 0;
  uint8_t* chroma = nullptr;
  int32_t chromaBytesPerRow = 0;
  int32_t width = 0;
  int32_t height = 0;
};

class Nv12Converter {
 public:
  // Slices run on this many threads unless the caller says otherwise: more stop paying off, because
  // the conversion is bound by memory bandwidth by then and the encoder needs the remaining cores.
  static constexpr int kDefaultThreads = 4;
  // The largest side either picture may have (the X protocol's own limit).
  static constexpr int32_t kMaxSide = 32767;

  // A converter from `sourceWidth` × `sourceHeight` to `targetWidth` × `targetHeight`;
  // `threads` 1 converts on the calling thread alone. nullptr for sizes out of range or when libswscale
  // refuses the conversion.
  static std::unique_ptr<Nv12Converter> create(int32_t sourceWidth, int32_t sourceHeight, int32_t targetWidth,
                                               int32_t targetHeight, int threads = kDefaultThreads);
  ~Nv12Converter();
  Nv12Converter(const Nv12Converter&) = delete;
  Nv12Converter& operator=(const Nv12Converter&) = delete;

  // Converts one picture. False (target untouched or partly written) when the views do not have the
  // sizes the converter was made for or libswscale fails.
  bool convert(const BgrxView& source, const Nv12View& target);

  int32_t sourceWidth() const { return sourceWidth_; }
  int32_t sourceHeight() const { return sourceHeight_; }
  int32_t targetWidth() const { return targetWidth_; }
  int32_t targetHeight() const { return targetHeight_; }
  int threads() const { return threads_; }

 private:
  struct Release {
    void operator()(SwsContext* context) const;
    void operator()(AVFrame* frame) const;
  };

  Nv12Converter() = default;

  std::unique_ptr<SwsContext, Release> context_;
  std::unique_ptr<AVFrame, Release> source_;
  std::unique_ptr<AVFrame, Release> target_;
  int32_t sourceWidth_ = 0;
  int32_t sourceHeight_ = 0;
  int32_t targetWidth_ = 0;
  int32_t targetHeight_ = 0;
  int threads_ = 1;
};

}  // namespace tavlo
