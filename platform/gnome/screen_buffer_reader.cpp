#include "platform/gnome/screen_buffer_reader.hpp"

#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <cstring>

namespace tavlo {
namespace {

// A pointer image larger than this is not a pointer: refuse it rather than allocate for it.
constexpr int32_t kMaxCursorSide = 1024;

std::string pictureName(PixelSize size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

// The byte positions of A, R, G and B in one pixel of a bitmap format; false for formats without alpha.
bool channelOrder(uint32_t format, int& a, int& r, int& g, int& b) {
  switch (format) {
    case SPA_VIDEO_FORMAT_RGBA: r = 0, g = 1, b = 2, a = 3; return true;
    case SPA_VIDEO_FORMAT_BGRA: b = 0, g = 1, r = 2, a = 3; return true;
    case SPA_VIDEO_FORMAT_ARGB: a = 0, r = 1, g = 2, b = 3; return true;
    case SPA_VIDEO_FORMAT_ABGR: a = 0, b = 1, g = 2, r = 3; return true;
    default: return false;
  }
}

bool fail(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return false;
}

}  // namespace

std::optional<std::string> copyScreenPicture(const ScreenBufferBlock& block, PixelSize size, ScreenPixelOrder order,
                                             ScreenFrame& frame) {
  if (!block.data) return "the buffer's memory is not mapped";
  if (size.width < 1 || size.height < 1) return "no picture size was negotiated";
  const uint64_t rowBytes = uint64_t(size.width) * 4;
  // Some producers leave the stride out of tightly packed pictures.
  const int64_t stride = block.chunkStride == 0 ? int64_t(rowBytes) : block.chunkStride;
  if (stride < int64_t(rowBytes)) {
    return "stride " + std::to_string(block.chunkStride) + " is shorter than a row of " + pictureName(size);
  }
  const uint64_t needed = uint64_t(stride) * uint64_t(size.height - 1) + rowBytes;
  if (block.chunkSize < needed) {
    return "chunk of " + std::to_string(block.chunkSize) + " bytes is too short for a " + pictureName(size) +
           " picture (" + std::to_string(needed) + " bytes)";
  }
  if (uint64_t(block.chunkOffset) + needed > block.mappedSize) {
    return "picture at offset " + std::to_string(block.chunkOffset) + " runs past the buffer's " +
           std::to_string(block.mappedSize) + " bytes";
  }
  frame.width = size.width;
  frame.height = size.height;
  frame.bytesPerRow = static_cast<int32_t>(rowBytes);
  frame.pixels.resize(rowBytes * uint64_t(size.height));
  const uint8_t* source = block.data + block.chunkOffset;
  uint8_t* target = frame.pixels.data();
  for (int32_t y = 0; y < size.height; ++y, source += stride, target += rowBytes) {
    if (order == ScreenPixelOrder::bgrx) {
      std::memcpy(target, source, rowBytes);
      continue;
    }
    for (uint64_t x = 0; x < rowBytes; x += 4) {
      target[x] = source[x + 2];
      target[x + 1] = source[x + 1];
      target[x + 2] = source[x];
      target[x + 3] = source[x + 3];
    }
  }
  return std::nullopt;
}

bool readScreenCursor(const void* meta, size_t metaSize, ScreenCursor& cursor, std::string* error) {
  if (!meta || metaSize < sizeof(spa_meta_cursor)) return fail(error, "cursor metadata is too short");
  spa_meta_cursor fixed;
  std::memcpy(&fixed, meta, sizeof fixed);
  // Id 0: the producer says there is no pointer on this picture (it left the monitor, or is hidden).
  cursor.visible = fixed.id != 0;
  if (!cursor.visible) return true;
  cursor.x = fixed.position.x;
  cursor.y = fixed.position.y;
  cursor.hotspotX = fixed.hotspot.x;
  cursor.hotspotY = fixed.hotspot.y;
  if (fixed.bitmap_offset == 0) return true;  // the image did not change

  if (fixed.bitmap_offset < sizeof(spa_meta_cursor) || fixed.bitmap_offset > metaSize ||
      metaSize - fixed.bitmap_offset < sizeof(spa_meta_bitmap)) {
    return fail(error, "cursor bitmap header lies outside the metadata");
  }
  const auto* bitmapStart = static_cast<const uint8_t*>(meta) + fixed.bitmap_offset;
  spa_meta_bitmap bitmap;
  std::memcpy(&bitmap, bitmapStart, sizeof bitmap);
  auto image = std::make_shared<CursorImage>();
  if (bitmap.size.width == 0 || bitmap.size.height == 0) {
    // An empty sprite: the pointer is there but draws nothing.
    cursor.image = std::move(image);
    ++cursor.serial;
    return true;
  }
  int a = 0, r = 0, g = 0, b = 0;
  if (!channelOrder(bitmap.format, a, r, g, b)) {
    return fail(error, "cursor bitmap has format " + std::to_string(bitmap.format) + " without alpha");
  }
  if (bitmap.size.width > uint32_t(kMaxCursorSide) || bitmap.size.height > uint32_t(kMaxCursorSide)) {
    return fail(error, "cursor bitmap of " + std::to_string(bitmap.size.width) + "x" +
                           std::to_string(bitmap.size.height) + " is too large");
  }
  const uint64_t rowBytes = uint64_t(bitmap.size.width) * 4;
  const int64_t stride = bitmap.stride == 0 ? int64_t(rowBytes) : bitmap.stride;
  if (stride < int64_t(rowBytes)) return fail(error, "cursor bitmap stride is shorter than its rows");
  const uint64_t needed = uint64_t(stride) * (bitmap.size.height - 1) + rowBytes;
  const uint64_t available = metaSize - fixed.bitmap_offset;
  if (bitmap.offset > available || available - bitmap.offset < needed) {
    return fail(error, "cursor bitmap runs past the metadata");
  }
  // Mutter hands its sprite over premultiplied, as the overlay blends it.
  image->width = static_cast<int32_t>(bitmap.size.width);
  image->height = static_cast<int32_t>(bitmap.size.height);
  image->argb.resize(size_t(image->width) * size_t(image->height));
  const uint8_t* row = bitmapStart + bitmap.offset;
  for (int32_t y = 0; y < image->height; ++y, row += stride) {
    for (int32_t x = 0; x < image->width; ++x) {
      const uint8_t* pixel = row + x * 4;
      image->argb[size_t(y) * size_t(image->width) + size_t(x)] =
          uint32_t(pixel[a]) << 24 | uint32_t(pixel[r]) << 16 | uint32_t(pixel[g]) << 8 | uint32_t(pixel[b]);
    }
  }
  cursor.image = std::move(image);
  ++cursor.serial;
  return true;
}

}  // namespace tavlo
