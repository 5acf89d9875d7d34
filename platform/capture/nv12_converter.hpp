#pragma once
// The screen's BGRX pictures to the stream's NV12 (BT.709 matrix, video range) at the size the stream
// asks for. At the same size our own row conversion (bgrx_to_nv12) does it on the calling thread: it is
// several times quicker than libswscale's general path and leaves the cores to the encoder. Scaled
// bilinearly when the sizes differ, by libswscale, cut into horizontal slices that run on its own
// threads.
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

  // Which code converts.
  enum class Engine : uint8_t {
    fastest,    // our own rows at the same size, libswscale when scaling
    libswscale  // libswscale always (the benchmarks compare the two)
  };

  // A converter from `sourceWidth` × `sourceHeight` to `targetWidth` × `targetHeight`;
  // `threads` 1 makes libswscale convert on the calling thread alone. nullptr for sizes out of range or
  // when libswscale refuses the conversion.
  static std::unique_ptr<Nv12Converter> create(int32_t sourceWidth, int32_t sourceHeight, int32_t targetWidth,
                                               int32_t targetHeight, int threads = kDefaultThreads,
                                               Engine engine = Engine::fastest);
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
  // Whether our own rows convert (the same size, Engine::fastest).
  bool direct() const { return direct_; }

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
  bool direct_ = false;
};

}  // namespace tavlo
