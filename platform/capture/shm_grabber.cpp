#include "platform/capture/shm_grabber.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

namespace tavlo {
namespace {

constexpr uint32_t kAllPlanes = ~0u;

bool screenIsBgrx32(const XcbConnection& connection) {
  const xcb_screen_t* screen = connection.screen();
  if (screen->root_depth != 24) return false;
  const xcb_setup_t* setup = xcb_get_setup(connection.get());
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  bool bpp32 = false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == 24) bpp32 = it.data->bits_per_pixel == 32;
  }
  if (!bpp32) return false;
  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem > 0; xcb_depth_next(&depths)) {
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0; xcb_visualtype_next(&visuals)) {
      if (visuals.data->visual_id == screen->root_visual) {
        return visuals.data->red_mask == 0xff0000 && visuals.data->green_mask == 0x00ff00 &&
               visuals.data->blue_mask == 0x0000ff;
      }
    }
  }
  return false;
}

void fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

}  // namespace

std::unique_ptr<ShmGrabber> ShmGrabber::create(const XcbConnection& connection, int32_t width, int32_t height,
                                               std::string* error) {
  if (width < 1 || height < 1 || width > Nv12Converter::kMaxSide || height > Nv12Converter::kMaxSide) {
    fail(error, "bad grab size " + std::to_string(width) + "x" + std::to_string(height));
    return nullptr;
  }
  xcb_connection_t* c = connection.get();
  auto version = xcbOwn(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  if (!version) {
    fail(error, "the X server has no MIT-SHM");
    return nullptr;
  }
  if (!screenIsBgrx32(connection)) {
    fail(error, "the X screen is not 24-bit TrueColor with 32 bits a pixel");
    return nullptr;
  }
  std::unique_ptr<ShmGrabber> grabber(new ShmGrabber(connection, width, height));
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  grabber->shmId_ = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (grabber->shmId_ < 0) {
    fail(error, "shmget failed");
    return nullptr;
  }
  void* address = shmat(grabber->shmId_, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    fail(error, "shmat failed");
    return nullptr;
  }
  grabber->pixels_ = static_cast<uint8_t*>(address);
  const uint32_t segment = xcb_generate_id(c);
  auto attachError = xcbOwn(xcb_request_check(
      c, xcb_shm_attach_checked(c, segment, static_cast<uint32_t>(grabber->shmId_), 0)));
  if (attachError) {
    fail(error, "the X server could not attach the shared segment (error " +
                    std::to_string(attachError->error_code) + ")");
    return nullptr;
  }
  grabber->segment_ = segment;
  // Marked for removal now that both sides hold it: the segment goes with the last detach, even when
  // this process dies without cleaning up.
  shmctl(grabber->shmId_, IPC_RMID, nullptr);
  grabber->shmId_ = -1;
  return grabber;
}

ShmGrabber::~ShmGrabber() {
  if (segment_ != 0) {
    xcb_shm_detach(connection_.get(), segment_);
    xcb_flush(connection_.get());
  }
  if (pixels_) shmdt(pixels_);
  if (shmId_ >= 0) shmctl(shmId_, IPC_RMID, nullptr);
}

bool ShmGrabber::grab(int32_t x, int32_t y) {
  if (x < INT16_MIN || x > INT16_MAX || y < INT16_MIN || y > INT16_MAX) return false;
  xcb_connection_t* c = connection_.get();
  auto cookie = xcb_shm_get_image(c, connection_.root(), static_cast<int16_t>(x), static_cast<int16_t>(y),
                                  static_cast<uint16_t>(width_), static_cast<uint16_t>(height_), kAllPlanes,
                                  XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0);
  auto reply = xcbReplyBy<xcb_shm_get_image_reply_t>(c, cookie.sequence);
  return reply != nullptr &&
         static_cast<uint64_t>(reply->size) >= static_cast<uint64_t>(bytesPerRow()) * static_cast<uint64_t>(height_);
}

}  // namespace tavlo
