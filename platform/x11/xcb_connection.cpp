#include "platform/x11/xcb_connection.hpp"

#include <poll.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <atomic>

namespace tavlo {

std::unique_ptr<XcbConnection> XcbConnection::open(const std::string& display, std::string* error) {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  if (int code = xcb_connection_has_error(connection); code != 0) {
    if (error) *error = "cannot connect to X display '" + display + "' (xcb error " + std::to_string(code) + ")";
    xcb_disconnect(connection);
    return nullptr;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; it.rem > 0 && i < screenNumber; ++i) xcb_screen_next(&it);
  if (it.rem == 0 || it.data == nullptr) {
    if (error) *error = "X display '" + display + "' has no screen " + std::to_string(screenNumber);
    xcb_disconnect(connection);
    return nullptr;
  }
  const char* env = std::getenv("DISPLAY");
  std::string name = !display.empty() ? display : (env ? env : "");
  return std::unique_ptr<XcbConnection>(new XcbConnection(connection, it.data, screenNumber, std::move(name)));
}

XcbConnection::~XcbConnection() { xcb_disconnect(connection_); }

bool XcbConnection::hasExtension(const std::string& name) const {
  auto reply = xcbReplyBy<xcb_query_extension_reply_t>(
      connection_, xcb_query_extension(connection_, static_cast<uint16_t>(name.size()), name.c_str()).sequence);
  return reply && reply->present;
}

namespace {
std::atomic<bool> serverStalled{false};
// What a wait is cut to while the server is taken to be stalled.
constexpr std::chrono::milliseconds stalledWait{100};
}  // namespace

bool xServerStalled() { return serverStalled.load(); }

void* awaitXcbReply(xcb_connection_t* connection, unsigned int sequence, XReplyDeadline deadline) {
  if (serverStalled.load()) deadline = std::min(deadline, std::chrono::steady_clock::now() + stalledWait);
  // Another thread reading the same connection may take the reply off the socket and queue it without
  // waking this one: the socket is watched in short slices, and the queue asked after each.
  constexpr std::chrono::milliseconds slice{20};
  xcb_flush(connection);
  const int fd = xcb_get_file_descriptor(connection);
  for (;;) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection, sequence, &reply, &error) != 0) {
      serverStalled.store(false);
      std::free(error);
      return reply;
    }
    if (xcb_connection_has_error(connection) != 0) return nullptr;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      serverStalled.store(true);
      xcb_discard_reply(connection, sequence);
      return nullptr;
    }
    pollfd readable{fd, POLLIN, 0};
    (void)::poll(&readable, 1, static_cast<int>(std::min(left, slice).count()));
  }
}


bool xcbRequestSucceeded(xcb_connection_t* connection, xcb_void_cookie_t cookie, XReplyDeadline deadline) {
  // A request without a reply is known to be done once a later one is answered: the cheapest is asked.
  if (!xcbReplyBy<xcb_get_input_focus_reply_t>(connection, xcb_get_input_focus(connection).sequence, deadline)) {
    xcb_discard_reply(connection, cookie.sequence);
    return false;
  }
  void* reply = nullptr;
  xcb_generic_error_t* error = nullptr;
  if (xcb_poll_for_reply(connection, cookie.sequence, &reply, &error) == 0) return false;
  std::free(reply);
  const bool failed = error != nullptr;
  std::free(error);
  return !failed;
}

}  // namespace tavlo
