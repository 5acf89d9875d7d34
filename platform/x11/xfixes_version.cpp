#include "platform/x11/xfixes_version.hpp"

#include <xcb/xfixes.h>

namespace tavlo {

std::optional<uint32_t> negotiateXfixes(const XcbConnection& connection, uint32_t major, uint32_t minor) {
  xcb_connection_t* c = connection.get();
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (!extension || !extension->present) return std::nullopt;
  auto version = xcbOwn(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, major, minor), nullptr));
  if (!version) return std::nullopt;
  return version->major_version;
}

}  // namespace tavlo
