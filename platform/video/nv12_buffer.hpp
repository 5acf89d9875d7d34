#pragma once
// One picture in NV12 ("420v"): a luma plane of width × height bytes and one plane of interleaved Cb,Cr
// pairs at half resolution in both directions, video range. The form every captured frame takes on its
// way to the encoder, and the form of the pooled buffers the session scales into.
//
// Rows are `stride` bytes apart (a multiple of kRowAlignment, so vector code and libswscale may read
// whole aligned blocks); consumers step by the stride, never by the width. Both planes start on
// kRowAlignment boundaries. A buffer that has been handed to a consumer is read-only by convention:
// producers fill a buffer before they deliver it and never touch it afterwards.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/video/color_description.hpp"

namespace tavlo {

class Nv12Buffer {
 public:
  // FourCC "420v": bi-planar 4:2:0, video range.
  static constexpr uint32_t kPixelFormat = 0x34323076;
  static constexpr size_t kRowAlignment = 64;
  // The largest side accepted: far above what HEVC levels carry, and small enough that
  // stride × rows × 1.5 stays well inside size_t on every platform we build for.
  static constexpr int32_t kMaxSide = 16384;

  // A buffer of its own (not from a pool), planes zero-filled. nullptr for a side below 1 or above
  // kMaxSide.
  static std::shared_ptr<Nv12Buffer> make(int32_t width, int32_t height);

  ~Nv12Buffer();
  Nv12Buffer(const Nv12Buffer&) = delete;
  Nv12Buffer& operator=(const Nv12Buffer&) = delete;

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  uint32_t pixelFormat() const { return kPixelFormat; }

  uint8_t* lumaPlane() { return storage_; }
  const uint8_t* lumaPlane() const { return storage_; }
  size_t lumaStride() const { return stride_; }

  // (width + 1) / 2 pairs of Cb, Cr bytes per row, (height + 1) / 2 rows.
  uint8_t* chromaPlane() { return storage_ + chromaOffset_; }
  const uint8_t* chromaPlane() const { return storage_ + chromaOffset_; }
  size_t chromaStride() const { return stride_; }
  int32_t chromaWidth() const { return (width_ + 1) / 2; }
  int32_t chromaHeight() const { return (height_ + 1) / 2; }

  // The buffer's colour attachment; absent when its producer did not describe it (the encoder then
  // takes BT.709).
  std::optional<ColorDescription> color;

 private:
  friend class Nv12BufferPool;
  struct Layout {
    size_t stride = 0;
    size_t chromaOffset = 0;
    size_t totalBytes = 0;
  };
  static std::optional<Layout> layoutFor(int32_t width, int32_t height);
  Nv12Buffer(int32_t width, int32_t height, const Layout& layout);

  int32_t width_;
  int32_t height_;
  size_t stride_;
  size_t chromaOffset_;
  uint8_t* storage_;  // aligned, owned
};

}  // namespace tavlo
