#include "platform/capture/cursor_overlay.hpp"

#include <xcb/xfixes.h>

#include <algorithm>
#include <cstring>

#include "platform/x11/xfixes_version.hpp"

namespace tavlo {
namespace {

// GetCursorImage arrived with XFIXES 2; 4 is what every current server offers and what we test on.
constexpr uint32_t kXfixesMajor = 4;
constexpr uint32_t kXfixesMinor = 0;
// The largest cursor image taken: X servers cap cursors far below this; a larger claim is not a cursor.
constexpr int32_t kMaxCursorSide = 512;

uint8_t blendChannel(uint32_t source, uint32_t destination, uint32_t inverseAlpha) {
  // Premultiplied "over": source + destination × (1 − alpha), rounded.
  const uint32_t value = source + (destination * inverseAlpha + 127) / 255;
  return static_cast<uint8_t>(std::min<uint32_t>(value, 255));
}

}  // namespace

void blendCursor(const CursorImage& cursor, int32_t left, int32_t top, uint8_t* picture, int32_t bytesPerRow,
                 int32_t width, int32_t height) {
  if (cursor.argb.size() < static_cast<size_t>(cursor.width) * static_cast<size_t>(std::max(cursor.height, 0))) {
    return;
  }
  const int64_t firstRow = std::max<int64_t>(0, -int64_t{top});
  const int64_t lastRow = std::min<int64_t>(cursor.height, int64_t{height} - top);
  const int64_t firstColumn = std::max<int64_t>(0, -int64_t{left});
  const int64_t lastColumn = std::min<int64_t>(cursor.width, int64_t{width} - left);
  for (int64_t row = firstRow; row < lastRow; ++row) {
    uint8_t* line = picture + (top + row) * bytesPerRow;
    const uint32_t* source = cursor.argb.data() + row * cursor.width;
    for (int64_t column = firstColumn; column < lastColumn; ++column) {
      const uint32_t pixel = source[column];
      const uint32_t alpha = pixel >> 24;
      if (alpha == 0) continue;
      uint8_t* target = line + (left + column) * 4;
      const uint32_t inverse = 255 - alpha;
      target[0] = blendChannel(pixel & 0xff, target[0], inverse);
      target[1] = blendChannel((pixel >> 8) & 0xff, target[1], inverse);
      target[2] = blendChannel((pixel >> 16) & 0xff, target[2], inverse);
    }
  }
}

std::unique_ptr<CursorOverlay> CursorOverlay::create(const XcbConnection& connection, std::string* error) {
  if (negotiateXfixes(connection, kXfixesMajor, kXfixesMinor).value_or(0) < kXfixesMajor) {
    if (error) *error = "the X server has no XFIXES 4";
    return nullptr;
  }
  return std::unique_ptr<CursorOverlay>(new CursorOverlay(connection));
}

bool CursorOverlay::refresh() {
  xcb_connection_t* c = connection_.get();
  auto reply = xcbReplyBy<xcb_xfixes_get_cursor_image_reply_t>(c, xcb_xfixes_get_cursor_image(c).sequence);
  if (!reply) return false;
  const int32_t width = reply->width;
  const int32_t height = reply->height;
  const int length = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
  if (width > kMaxCursorSide || height > kMaxCursorSide || length < 0 ||
      static_cast<int64_t>(length) < int64_t{width} * height) {
    return false;
  }
  placement_ = {reply->x - reply->xhot, reply->y - reply->yhot, reply->cursor_serial};
  image_.width = width;
  image_.height = height;
  image_.argb.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  std::memcpy(image_.argb.data(), xcb_xfixes_get_cursor_image_cursor_image(reply.get()),
              image_.argb.size() * sizeof(uint32_t));
  return true;
}

void CursorOverlay::drawInto(uint8_t* picture, int32_t bytesPerRow, int32_t width, int32_t height, int32_t originX,
                             int32_t originY) const {
  blendCursor(image_, placement_.left - originX, placement_.top - originY, picture, bytesPerRow, width, height);
}

}  // namespace tavlo
