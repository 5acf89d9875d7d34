#include "platform/x11/randr_change_watch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/randr.h>

#include <cerrno>

namespace tavlo {

std::unique_ptr<RandrChangeWatch> RandrChangeWatch::open(const std::string& display, std::function<void()> onChange,
                                                         std::string* error) {
  auto connection = XcbConnection::open(display, error);
  if (!connection) return nullptr;
  xcb_connection_t* c = connection->get();
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_randr_id);
  if (!extension || !extension->present) {
    if (error) *error = "the X server has no RandR";
    return nullptr;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (error) *error = "no pipe for the RandR watch";
    return nullptr;
  }
  xcb_randr_select_input(c, connection->root(),
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  xcb_flush(c);
  const uint8_t firstEvent = extension->first_event;
  return std::unique_ptr<RandrChangeWatch>(
      new RandrChangeWatch(std::move(connection), firstEvent, fds[0], fds[1], std::move(onChange)));
}

RandrChangeWatch::RandrChangeWatch(std::unique_ptr<XcbConnection> connection, uint8_t firstEvent, int wakeRead,
                                   int wakeWrite, std::function<void()> onChange)
    : connection_(std::move(connection)),
      firstEvent_(firstEvent),
      wakeRead_(wakeRead),
      wakeWrite_(wakeWrite),
      onChange_(std::move(onChange)),
      thread_([this] { run(); }) {}

RandrChangeWatch::~RandrChangeWatch() {
  stopping_ = true;
  const char byte = 0;
  [[maybe_unused]] const ssize_t written = ::write(wakeWrite_, &byte, 1);
  thread_.join();
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

void RandrChangeWatch::run() {
  xcb_connection_t* c = connection_->get();
  const int xfd = xcb_get_file_descriptor(c);
  while (!stopping_ && connection_->healthy()) {
    pollfd fds[2] = {{xfd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      // Only a signal is worth another try; any other failure would come back at once, forever.
      if (errno == EINTR) continue;
      break;
    }
    if (stopping_) break;
    // One burst of events (a mode set sends several) is one change.
    bool changed = false;
    while (auto event = xcbOwn(xcb_poll_for_event(c))) {
      const uint8_t type = event->response_type & 0x7f;
      if (type == firstEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == firstEvent_ + XCB_RANDR_NOTIFY) {
        changed = true;
      }
    }
    if (changed && onChange_) onChange_();
  }
}

}  // namespace tavlo
