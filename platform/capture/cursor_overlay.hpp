#pragma once
// The pointer drawn into captured pictures. The server leaves its cursor out of every grab, so when the
// stream shows the cursor, its image comes from XFIXES (premultiplied ARGB with a hot spot) and is
// blended in before conversion. Its position and shape serial tell the capture that the picture
// changed even though nothing was drawn.
//
// Not thread-safe: the capture thread alone uses it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture/nv12_converter.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

// Where the cursor's image goes and which image it is.
struct CursorPlacement {
  int32_t left = 0;  // root pixels of the image's top-left corner (position minus hot spot)
  int32_t top = 0;
  uint32_t serial = 0;  // changes with the cursor's shape
  bool operator==(const CursorPlacement&) const = default;
};

// Premultiplied ARGB pixels (one 32-bit word each, A in the top byte), row after row.
struct CursorImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> argb;
};

// Blends `cursor`, whose top-left corner sits at (left, top) in the picture's own pixels, over the BGRX
// `picture`; the parts outside the picture are left out.
void blendCursor(const CursorImage& cursor, int32_t left, int32_t top, uint8_t* picture, int32_t bytesPerRow,
                 int32_t width, int32_t height);

class CursorOverlay {
 public:
  // nullptr, with the reason in `error`, when the server lacks XFIXES 4.
  static std::unique_ptr<CursorOverlay> create(const XcbConnection& connection, std::string* error = nullptr);

  // Asks the server for the cursor's image and position (one round trip). False when it did not answer;
  // the previous image stays.
  bool refresh();
  const CursorPlacement& placement() const { return placement_; }
  const CursorImage& image() const { return image_; }

  // Draws the cursor into a picture of the screen whose top-left corner is at (originX, originY) in
  // root pixels.
  void drawInto(uint8_t* picture, int32_t bytesPerRow, int32_t width, int32_t height, int32_t originX,
                int32_t originY) const;

 private:
  explicit CursorOverlay(const XcbConnection& connection) : connection_(connection) {}

  const XcbConnection& connection_;
  CursorPlacement placement_;
  CursorImage image_;
};

}  // namespace tavlo
