// A screen-cast buffer as another process may fill it: the first 20 bytes are the chunk's offset, size
// and stride and the negotiated width and height; the rest is the mapped block. The same bytes are also
// read as the pointer's metadata. Nothing may be read outside the block or the metadata, and a picture
// that is taken must be exactly the negotiated one.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/gnome/screen_buffer_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavlo;
  constexpr size_t kHeader = 20;
  if (size < kHeader) return 0;
  uint32_t fields[5];
  std::memcpy(fields, data, sizeof fields);
  // Small pictures only: the point is the bounds, not the copying.
  const PixelSize picture{int32_t(fields[3] % 64), int32_t(fields[4] % 64)};
  // An exact-size copy, so that reading one byte past the block is caught.
  const size_t blockSize = size - kHeader;
  std::unique_ptr<uint8_t[]> block(new uint8_t[blockSize ? blockSize : 1]);
  if (blockSize) std::memcpy(block.get(), data + kHeader, blockSize);
  const ScreenBufferBlock view{block.get(), blockSize, fields[0], fields[1], int32_t(fields[2])};

  ScreenFrame frame;
  for (ScreenPixelOrder order : {ScreenPixelOrder::bgrx, ScreenPixelOrder::rgbx}) {
    if (!copyScreenPicture(view, picture, order, frame)) {
      if (frame.width != picture.width || frame.height != picture.height ||
          frame.pixels.size() != size_t(picture.width) * size_t(picture.height) * 4) {
        std::abort();
      }
    }
  }

  std::unique_ptr<uint8_t[]> meta(new uint8_t[size]);
  std::memcpy(meta.get(), data, size);
  ScreenCursor cursor;
  if (readScreenCursor(meta.get(), size, cursor) && cursor.image &&
      cursor.image->argb.size() != size_t(cursor.image->width) * size_t(cursor.image->height)) {
    std::abort();
  }
  return 0;
}
