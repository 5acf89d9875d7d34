#include "platform/x11/tray_host_watch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xfixes.h>

#include <cerrno>

#include "platform/x11/xcb_connection.hpp"
#include "platform/x11/xfixes_version.hpp"

namespace tavlo {

TrayHostWatch::TrayHostWatch(std::string display, OwnerHandler onOwner, FailureHandler onUnavailable)
    : display_(std::move(display)), onOwner_(std::move(onOwner)), onUnavailable_(std::move(onUnavailable)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
  }
  thread_ = std::thread([this] { run(); });
}

TrayHostWatch::~TrayHostWatch() {
  stopping_ = true;
  if (wakeWrite_ >= 0) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(wakeWrite_, &byte, 1);
  }
  thread_.join();
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

void TrayHostWatch::run() {
  auto fail = [this](const std::string& reason) {
    if (onUnavailable_ && !stopping_) onUnavailable_(reason);
  };
  if (wakeRead_ < 0) return fail("no pipe for the tray watch");
  std::string error;
  auto connection = XcbConnection::open(display_, &error);
  if (!connection) return fail(error);
  xcb_connection_t* c = connection->get();
  if (!negotiateXfixes(*connection, 1, 0)) return fail("the X server has no XFIXES");
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (!extension || !extension->present) return fail("the X server has no XFIXES");
  const uint8_t selectionNotify = extension->first_event + XCB_XFIXES_SELECTION_NOTIFY;

  const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(connection->screenNumber());
  auto atom = xcbOwn(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()),
                                           nullptr));
  if (!atom) return fail("the X server did not name the tray selection");
  // Selected before the owner is asked, so that a tray host arriving in between is not missed.
  xcb_xfixes_select_selection_input(c, connection->root(), atom->atom,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  auto owner = xcbOwn(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr));
  if (!owner) return fail("the X server did not say who owns the tray selection");
  if (onOwner_ && !stopping_) onOwner_(owner->owner != XCB_NONE);

  const int xfd = xcb_get_file_descriptor(c);
  while (!stopping_ && connection->healthy()) {
    pollfd fds[2] = {{xfd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (stopping_) break;
    // A burst (the old owner's window going, the new one taking over) ends in the last owner it names.
    std::optional<bool> present;
    while (auto event = xcbOwn(xcb_poll_for_event(c))) {
      if ((event->response_type & 0x7f) != selectionNotify) continue;
      const auto* notify = reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(event.get());
      present = notify->owner != XCB_NONE;
    }
    if (present && onOwner_) onOwner_(*present);
  }
}

}  // namespace tavlo
