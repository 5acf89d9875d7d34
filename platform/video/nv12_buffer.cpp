#include "platform/video/nv12_buffer.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace tavlo {
namespace {

constexpr size_t roundUp(size_t value, size_t multiple) { return (value + multiple - 1) / multiple * multiple; }

}  // namespace

std::optional<Nv12Buffer::Layout> Nv12Buffer::layoutFor(int32_t width, int32_t height) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return std::nullopt;
  Layout layout;
  // A multiple of the alignment is even, so it also holds the (width + 1) / 2 chroma pairs of an odd width.
  layout.stride = roundUp(static_cast<size_t>(width), kRowAlignment);
  layout.chromaOffset = layout.stride * static_cast<size_t>(height);
  layout.totalBytes = layout.chromaOffset + layout.stride * static_cast<size_t>((height + 1) / 2);
  return layout;
}

Nv12Buffer::Nv12Buffer(int32_t width, int32_t height, const Layout& layout)
    : width_(width), height_(height), stride_(layout.stride), chromaOffset_(layout.chromaOffset) {
  storage_ = static_cast<uint8_t*>(std::aligned_alloc(kRowAlignment, roundUp(layout.totalBytes, kRowAlignment)));
  if (storage_ == nullptr) throw std::bad_alloc();
  std::memset(storage_, 0, layout.totalBytes);
}

Nv12Buffer::~Nv12Buffer() { std::free(storage_); }

std::shared_ptr<Nv12Buffer> Nv12Buffer::make(int32_t width, int32_t height) {
  auto layout = layoutFor(width, height);
  if (!layout) return nullptr;
  return std::shared_ptr<Nv12Buffer>(new Nv12Buffer(width, height, *layout));
}

}  // namespace tavlo
