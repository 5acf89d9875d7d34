#include "host/app/x11_keepalive_window.hpp"

#include <xcb/xcb.h>

#include "platform/x11/randr_outputs.hpp"

namespace tavlo {

std::unique_ptr<X11KeepaliveWindow> X11KeepaliveWindow::open(const std::string& display,
                                                            std::function<std::optional<uint32_t>()> virtualDisplay,
                                                            std::string* error) {
  auto connection = XcbConnection::open(display, error);
  if (!connection) return nullptr;
  return std::unique_ptr<X11KeepaliveWindow>(new X11KeepaliveWindow(std::move(connection), std::move(virtualDisplay)));
}

X11KeepaliveWindow::~X11KeepaliveWindow() {
  if (window_ != 0) {
    xcb_destroy_window(connection_->get(), window_);
    xcb_flush(connection_->get());
  }
}

void X11KeepaliveWindow::create() {
  xcb_connection_t* c = connection_->get();
  xcb_screen_t* screen = connection_->screen();
  // A 32-bit TrueColor visual lets the window be all but transparent (alpha 0.02); without one it is
  // two black pixels.
  xcb_visualid_t visual = screen->root_visual;
  uint8_t depth = XCB_COPY_FROM_PARENT;
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
    if (d.data->depth != 32) continue;
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
      if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
        visual = v.data->visual_id;
        depth = 32;
        break;
      }
    }
    if (depth == 32) break;
  }
  window_ = xcb_generate_id(c);
  uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT;
  std::vector<uint32_t> values{depth == 32 ? 0x05000000u : screen->black_pixel, 0, 1};
  if (depth == 32) {
    const xcb_colormap_t colormap = xcb_generate_id(c);
    xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, colormap, screen->root, visual);
    mask |= XCB_CW_COLORMAP;
    values.push_back(colormap);
  }
  xcb_create_window(c, depth, window_, screen->root, 1, 1, 2, 2, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual, mask,
                    values.data());
}

bool X11KeepaliveWindow::show() {
  std::optional<uint32_t> id = virtualDisplay_();
  if (!id) return false;
  std::optional<OutputGeometry> output = queryOutput(*connection_, *id);
  if (!output || !output->enabled()) return false;
  if (window_ == 0) create();
  xcb_connection_t* c = connection_->get();
  const uint32_t position[] = {static_cast<uint32_t>(output->x + 1), static_cast<uint32_t>(output->y + 1),
                               XCB_STACK_MODE_ABOVE};
  xcb_configure_window(c, window_, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_STACK_MODE, position);
  xcb_map_window(c, window_);
  xcb_flush(c);
  return true;
}

void X11KeepaliveWindow::hide() {
  if (window_ == 0) return;
  xcb_unmap_window(connection_->get(), window_);
  xcb_flush(connection_->get());
}

}  // namespace tavlo
