#pragma once
// Reads a rectangle of the root window through MIT-SHM: the server writes the pixels straight into a
// segment shared with this process, so a full-HD grab costs one copy on the server's side and no
// transfer over the socket. Pixels arrive as BGRX (the depth-24 TrueColor layout of a little-endian
// server with 32 bits a pixel); other screen formats are refused at creation.
//
// Not thread-safe: one caller at a time (the capture thread), on a connection nobody reads events from
// concurrently.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/capture/nv12_converter.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

class ShmGrabber {
 public:
  // A segment for `width` × `height` pixels, attached to the server of `connection` (which must outlive
  // the grabber). nullptr, with the reason in `error`, when the server lacks MIT-SHM, the screen is not
  // 32 bits a pixel or the segment cannot be made or attached.
  static std::unique_ptr<ShmGrabber> create(const XcbConnection& connection, int32_t width, int32_t height,
                                            std::string* error = nullptr);
  ~ShmGrabber();
  ShmGrabber(const ShmGrabber&) = delete;
  ShmGrabber& operator=(const ShmGrabber&) = delete;

  // Reads the rectangle of the grabber's size whose top-left corner is (x, y) in root pixels. False when
  // the server refuses (the rectangle reaches outside the screen, the connection broke); the segment
  // then holds no valid picture.
  bool grab(int32_t x, int32_t y);

  // The last grabbed picture. Writable: the cursor is drawn into it before conversion.
  uint8_t* pixels() const { return pixels_; }
  BgrxView view() const { return {pixels_, bytesPerRow(), width_, height_}; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  int32_t bytesPerRow() const { return width_ * 4; }

 private:
  ShmGrabber(const XcbConnection& connection, int32_t width, int32_t height)
      : connection_(connection), width_(width), height_(height) {}

  const XcbConnection& connection_;
  int32_t width_;
  int32_t height_;
  int shmId_ = -1;
  uint8_t* pixels_ = nullptr;
  uint32_t segment_ = 0;  // the server's id of the segment; 0 while not attached
};

}  // namespace tavlo
