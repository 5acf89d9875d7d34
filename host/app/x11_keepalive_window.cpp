#include "host/app/x11_keepalive_window.hpp"

#include <cstring>
#include <vector>

#include "platform/runtime/checked_number.hpp"
#include "platform/x11/randr_outputs.hpp"

namespace tavlo {

namespace {

constexpr char opacityAtomName[] = "_NET_WM_WINDOW_OPACITY";

// Sets the window's opacity and repaints its background: the property is what a compositor blends
// with, the repaint is damage it (and a change-driven capture) cannot miss.
void drawOpacity(XcbConnection& connection, xcb_window_t window, xcb_atom_t atom, double opacity) {
  xcb_connection_t* c = connection.get();
  // Fully opaque is 0xFFFFFFFF; the opacity stays within [0.9, 1.0].
  const uint32_t value = truncateSaturating<uint32_t>(opacity * 4294967295.0);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom, XCB_ATOM_CARDINAL, 32, 1, &value);
  xcb_clear_area(c, 0, window, 0, 0, 0, 0);
  xcb_flush(c);
}

}  // namespace

double keepaliveOpacityAt(uint64_t sinceShownUs) {
  const uint64_t sweeps = sinceShownUs / keepaliveSweepUs;
  const double within = static_cast<double>(sinceShownUs % keepaliveSweepUs) / keepaliveSweepUs;
  const double rising = sweeps % 2 == 0 ? within : 1.0 - within;
  return keepaliveOpacityLow + (keepaliveOpacityHigh - keepaliveOpacityLow) * rising;
}

std::unique_ptr<X11KeepaliveWindow> X11KeepaliveWindow::open(const std::string& display, Scheduler& scheduler,
                                                            std::function<std::optional<uint32_t>()> virtualDisplay,
                                                            std::string* error) {
  std::shared_ptr<XcbConnection> connection = XcbConnection::open(display, error);
  if (!connection) return nullptr;
  return std::unique_ptr<X11KeepaliveWindow>(
      new X11KeepaliveWindow(std::move(connection), scheduler, std::move(virtualDisplay)));
}

X11KeepaliveWindow::~X11KeepaliveWindow() {
  animation_.cancel();
  if (window_ != 0) {
    xcb_destroy_window(connection_->get(), window_);
    xcb_flush(connection_->get());
  }
}

void X11KeepaliveWindow::create() {
  xcb_connection_t* c = connection_->get();
  xcb_screen_t* screen = connection_->screen();
  const xcb_intern_atom_cookie_t atomCookie =
      xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(opacityAtomName)), opacityAtomName);
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
  if (auto atom = xcbOwn(xcb_intern_atom_reply(c, atomCookie, nullptr))) opacityAtom_ = atom->atom;
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
  if (!animation_.isArmed()) startAnimation();
  return true;
}

void X11KeepaliveWindow::startAnimation() {
  if (opacityAtom_ == XCB_ATOM_NONE) return;
  const Clock* clock = &scheduler_.clock();
  const uint64_t shownAtUs = clock->nowUs();
  drawOpacity(*connection_, window_, opacityAtom_, keepaliveOpacityAt(0));
  // The steps hold the connection, never this window: one that runs while the window goes draws on a
  // window already destroyed, which the server refuses harmlessly.
  auto step = [connection = connection_, window = window_, atom = opacityAtom_, clock, shownAtUs] {
    drawOpacity(*connection, window, atom, keepaliveOpacityAt(clock->nowUs() - shownAtUs));
  };
  animation_ = ScopedTimer(scheduler_, scheduler_.every(keepaliveSweepUs, std::move(step)));
}

void X11KeepaliveWindow::hide() {
  // A step already under way may still set the property once; it lands on the unmapped window.
  animation_.cancel();
  if (window_ == 0) return;
  xcb_unmap_window(connection_->get(), window_);
  xcb_flush(connection_->get());
}

}  // namespace tavlo
