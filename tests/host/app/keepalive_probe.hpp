#pragma once
// Whether the compositor keepalive's window is up: a viewable 2 × 2 override-redirect child of the root;
// and the opacity it gives compositors.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

// The keepalive's window (mapped or not): the 2 × 2 override-redirect child of the root.
inline std::optional<xcb_window_t> keepaliveWindowId(const XcbConnection& x, bool mappedOnly) {
  xcb_connection_t* c = x.get();
  auto tree = xcbOwn(xcb_query_tree_reply(c, xcb_query_tree(c, x.root()), nullptr));
  if (!tree) return std::nullopt;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
    auto geometry = xcbOwn(xcb_get_geometry_reply(c, xcb_get_geometry(c, children[i]), nullptr));
    auto attributes = xcbOwn(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
    if (geometry && attributes && geometry->width == 2 && geometry->height == 2 && attributes->override_redirect &&
        (!mappedOnly || attributes->map_state == XCB_MAP_STATE_VIEWABLE)) {
      return children[i];
    }
  }
  return std::nullopt;
}

inline bool keepaliveWindowShown(const XcbConnection& x) { return keepaliveWindowId(x, true).has_value(); }

// The window's _NET_WM_WINDOW_OPACITY (0xFFFFFFFF is opaque); none while it has none.
inline std::optional<uint32_t> windowOpacity(const XcbConnection& x, xcb_window_t window) {
  xcb_connection_t* c = x.get();
  static constexpr char name[] = "_NET_WM_WINDOW_OPACITY";
  auto atom = xcbOwn(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr));
  if (!atom) return std::nullopt;
  auto reply = xcbOwn(
      xcb_get_property_reply(c, xcb_get_property(c, 0, window, atom->atom, XCB_ATOM_CARDINAL, 0, 1), nullptr));
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) != 4) return std::nullopt;
  uint32_t value = 0;
  std::memcpy(&value, xcb_get_property_value(reply.get()), sizeof value);
  return value;
}

}  // namespace tavlo
