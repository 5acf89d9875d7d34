#include "platform/x11/xcb_connection.hpp"

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
  return std::unique_ptr<XcbConnection>(new XcbConnection(connection, it.data, std::move(name)));
}

XcbConnection::~XcbConnection() { xcb_disconnect(connection_); }

bool XcbConnection::hasExtension(const std::string& name) const {
  auto reply = xcbOwn(xcb_query_extension_reply(
      connection_, xcb_query_extension(connection_, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
  return reply && reply->present;
}

}  // namespace tavlo
