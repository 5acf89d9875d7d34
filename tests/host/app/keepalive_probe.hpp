#pragma once
// Whether the compositor keepalive's window is up: a viewable 2 × 2 override-redirect child of the root.
#include <xcb/xcb.h>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

inline bool keepaliveWindowShown(const XcbConnection& x) {
  xcb_connection_t* c = x.get();
  auto tree = xcbOwn(xcb_query_tree_reply(c, xcb_query_tree(c, x.root()), nullptr));
  if (!tree) return false;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
    auto geometry = xcbOwn(xcb_get_geometry_reply(c, xcb_get_geometry(c, children[i]), nullptr));
    auto attributes = xcbOwn(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
    if (geometry && attributes && geometry->width == 2 && geometry->height == 2 &&
        attributes->map_state == XCB_MAP_STATE_VIEWABLE && attributes->override_redirect) {
      return true;
    }
  }
  return false;
}

}  // namespace tavlo
