#include "host/app/xfixes_cursor_source.hpp"

#include <xcb/xfixes.h>

#include <cstring>

#include "platform/x11/randr_outputs.hpp"
#include "platform/x11/xfixes_version.hpp"

namespace tavlo {

namespace {
// Cursors larger than this on a side are not read (the tracker sends none above 256 pixels anyway).
constexpr int32_t maxReadSide = 1024;
}  // namespace

std::unique_ptr<XFixesCursorSource> XFixesCursorSource::open(const std::string& display, std::string* error) {
  auto connection = XcbConnection::open(display, error);
  if (!connection) return nullptr;
  // The cursor's image and name arrived with XFIXES 2.
  if (negotiateXfixes(*connection, 4, 0).value_or(0) < 2) {
    if (error) *error = "the X server has no XFIXES 2";
    return nullptr;
  }
  return std::unique_ptr<XFixesCursorSource>(new XFixesCursorSource(std::move(connection)));
}

std::optional<CursorSnapshot> XFixesCursorSource::current() {
  xcb_connection_t* c = connection_->get();
  auto reply = xcbReplyBy<xcb_xfixes_get_cursor_image_and_name_reply_t>(
      c, xcb_xfixes_get_cursor_image_and_name(c).sequence);
  if (!reply) return std::nullopt;
  const int32_t width = reply->width, height = reply->height;
  const int length = xcb_xfixes_get_cursor_image_and_name_cursor_image_length(reply.get());
  // A reply whose pixels fall short of its size is not trusted.
  if (width <= 0 || height <= 0 || width > maxReadSide || height > maxReadSide || length < 0 ||
      static_cast<int64_t>(length) < int64_t{width} * height) {
    return std::nullopt;
  }
  CursorSnapshot cursor;
  cursor.width = width;
  cursor.height = height;
  cursor.hotX = reply->xhot;
  cursor.hotY = reply->yhot;
  cursor.serial = reply->cursor_serial;
  const int nameLength = xcb_xfixes_get_cursor_image_and_name_name_length(reply.get());
  if (nameLength > 0) cursor.name.assign(xcb_xfixes_get_cursor_image_and_name_name(reply.get()), size_t(nameLength));
  cursor.argb.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  std::memcpy(cursor.argb.data(), xcb_xfixes_get_cursor_image_and_name_cursor_image(reply.get()),
              cursor.argb.size() * sizeof(uint32_t));
  return cursor;
}

std::optional<DisplayWidths> XFixesCursorSource::outputWidths(uint32_t outputId) {
  std::optional<OutputGeometry> output = queryOutput(*connection_, outputId);
  if (!output || !output->enabled()) return std::nullopt;
  const DisplayWidths widths{pointBounds(*output).width, static_cast<double>(output->pixelWidth)};
  return widths.points > 0 ? std::optional<DisplayWidths>(widths) : std::nullopt;
}

}  // namespace tavlo
