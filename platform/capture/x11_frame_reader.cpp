#include "platform/capture/x11_frame_reader.hpp"

#include <xcb/randr.h>

#include "platform/x11/randr_outputs.hpp"

namespace tavlo {
namespace {

// RandR 1.2 brought outputs and CRTCs and their change events.
constexpr uint32_t kRandrMajor = 1;
constexpr uint32_t kRandrMinor = 2;
constexpr uint8_t kEventTypeMask = 0x7f;

void fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

}  // namespace

std::unique_ptr<X11FrameReader> X11FrameReader::open(const std::string& display, uint32_t outputId,
                                                     std::string* error, int converterThreads) {
  std::unique_ptr<X11FrameReader> reader(new X11FrameReader());
  reader->connection_ = XcbConnection::open(display, error);
  if (!reader->connection_) return nullptr;
  xcb_connection_t* c = reader->connection_->get();
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
  auto version = randr && randr->present
                     ? xcbOwn(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, kRandrMajor, kRandrMinor),
                                                            nullptr))
                     : xcbOwn<xcb_randr_query_version_reply_t>(nullptr);
  if (!version) {
    fail(error, "the X server has no RandR");
    return nullptr;
  }
  reader->randrFirstEvent_ = randr->first_event;
  xcb_randr_select_input(c, reader->connection_->root(),
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  if (!reader->connection_->hasExtension("MIT-SHM")) {
    fail(error, "the X server has no MIT-SHM");
    return nullptr;
  }
  reader->damage_ = DamageTracker::create(*reader->connection_, error);
  if (!reader->damage_) return nullptr;
  reader->cursor_ = CursorOverlay::create(*reader->connection_, error);
  if (!reader->cursor_) return nullptr;
  reader->outputId_ = outputId;
  reader->converterThreads_ = converterThreads < 1 ? 1 : converterThreads;
  return reader;
}

X11FrameReader::~X11FrameReader() {
  // The grabber and the trackers send their last requests over the connection: they go first.
  converter_.reset();
  grabber_.reset();
  cursor_.reset();
  damage_.reset();
}

void X11FrameReader::configure(int32_t width, int32_t height, bool showsCursor) {
  if (width != width_ || height != height_) converter_.reset();
  width_ = width;
  height_ = height;
  showsCursor_ = showsCursor;
  forceFrame_ = true;
}

int X11FrameReader::eventDescriptor() const { return xcb_get_file_descriptor(connection_->get()); }

void X11FrameReader::handleEvents() {
  xcb_connection_t* c = connection_->get();
  while (auto event = xcbOwn(xcb_poll_for_event(c))) {
    if (damage_->handleEvent(*event)) continue;
    const uint8_t type = event->response_type & kEventTypeMask;
    if (type == randrFirstEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrFirstEvent_ + XCB_RANDR_NOTIFY) {
      geometryStale_ = true;
    }
    // Errors of one-way requests (type 0) and other events need nothing: a failed grab is seen by its
    // own reply.
  }
}

bool X11FrameReader::refreshGeometry() {
  geometryStale_ = false;
  auto output = queryOutput(*connection_, outputId_);
  PixelRect area;
  if (output && output->enabled() && output->pixelWidth > 0 && output->pixelHeight > 0) {
    area = {output->x, output->y, static_cast<int32_t>(output->pixelWidth), static_cast<int32_t>(output->pixelHeight)};
  }
  if (area != area_) forceFrame_ = true;
  if (!grabber_ || area.width != grabber_->width() || area.height != grabber_->height()) {
    grabber_.reset();
    converter_.reset();
  }
  area_ = area;
  return !area_.empty();
}

bool X11FrameReader::cursorMoved() const {
  if (!cursorDelivered_) return true;
  const CursorPlacement& now = cursor_->placement();
  if (now == deliveredCursor_) return false;
  const CursorImage& image = cursor_->image();
  // A cursor that stays off this output (before and after) does not change its picture.
  const PixelRect before{deliveredCursor_.left, deliveredCursor_.top, image.width, image.height};
  const PixelRect after{now.left, now.top, image.width, image.height};
  return area_.intersects(before) || area_.intersects(after) || now.serial != deliveredCursor_.serial;
}

X11FrameReader::Outcome X11FrameReader::read(const TargetSource& acquireTarget) {
  handleEvents();
  if (width_ < 2 || height_ < 2) return Outcome::unchanged;
  if (geometryStale_ && !refreshGeometry()) return Outcome::unavailable;
  if (area_.empty()) return Outcome::unavailable;

  const bool cursorShown = showsCursor_ && cursor_->refresh();
  const bool news = forceFrame_ || damage_->damaged(area_) || (cursorShown && cursorMoved());
  if (!news) return Outcome::unchanged;

  std::optional<Nv12View> target = acquireTarget ? acquireTarget() : std::nullopt;
  if (!target) return Outcome::noTarget;
  if (!grabber_) {
    grabber_ = ShmGrabber::create(*connection_, area_.width, area_.height);
    if (!grabber_) return Outcome::unavailable;
  }
  if (!converter_) {
    converter_ = Nv12Converter::create(area_.width, area_.height, width_, height_, converterThreads_);
    if (!converter_) return Outcome::unavailable;
  }
  // Cleared before the grab: whatever is drawn from here on is reported again, and shows in a later frame.
  damage_->clear();
  if (!grabber_->grab(area_.x, area_.y)) {
    // Most often a mode change whose event has not arrived yet: look the output up again next time.
    geometryStale_ = true;
    forceFrame_ = true;
    return Outcome::unavailable;
  }
  if (cursorShown) {
    cursor_->drawInto(grabber_->pixels(), grabber_->bytesPerRow(), area_.width, area_.height, area_.x, area_.y);
    deliveredCursor_ = cursor_->placement();
    cursorDelivered_ = true;
  } else {
    cursorDelivered_ = false;
  }
  if (!converter_->convert(grabber_->view(), *target)) return Outcome::unavailable;
  forceFrame_ = false;
  return Outcome::frame;
}

}  // namespace tavlo
