#include "tests/testkit/xorg_output_mode.hpp"

#include <xcb/randr.h>

#include <algorithm>

namespace tavlo::testkit {
namespace {

// Blanking and refresh of the made-up timings; 30 Hz keeps large modes under the dummy card's clock.
constexpr uint32_t kHorizontalBlanking = 160;
constexpr uint32_t kVerticalBlanking = 40;
constexpr uint32_t kRefreshHz = 30;
// Millimetres per pixel at 96 dpi, for the screen size RandR asks along with the pixels.
constexpr double kMillimetresPerPixel = 25.4 / 96;

bool fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

}  // namespace

bool setOutputMode(const XcbConnection& connection, uint32_t outputId, uint16_t width, uint16_t height,
                   std::string* error) {
  xcb_connection_t* c = connection.get();
  free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 2), nullptr));
  auto resources = xcbOwn(xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, connection.root()), nullptr));
  if (!resources) return fail(error, "no RandR screen resources");
  auto output = xcbOwn(xcb_randr_get_output_info_reply(
      c, xcb_randr_get_output_info(c, outputId, resources->config_timestamp), nullptr));
  if (!output) return fail(error, "no such output");
  xcb_randr_crtc_t crtc = output->crtc;
  if (crtc == XCB_NONE) {
    const xcb_randr_crtc_t* crtcs = xcb_randr_get_output_info_crtcs(output.get());
    if (xcb_randr_get_output_info_crtcs_length(output.get()) < 1) return fail(error, "the output has no CRTC");
    crtc = crtcs[0];
  }

  const std::string name = std::to_string(width) + "x" + std::to_string(height) + "_tavlo_test";
  xcb_randr_mode_info_t info{};
  info.width = width;
  info.height = height;
  info.hsync_start = static_cast<uint16_t>(width + 16);
  info.hsync_end = static_cast<uint16_t>(width + 48);
  info.htotal = static_cast<uint16_t>(width + kHorizontalBlanking);
  info.vsync_start = static_cast<uint16_t>(height + 3);
  info.vsync_end = static_cast<uint16_t>(height + 8);
  info.vtotal = static_cast<uint16_t>(height + kVerticalBlanking);
  info.dot_clock = uint32_t(info.htotal) * info.vtotal * kRefreshHz;
  info.name_len = static_cast<uint16_t>(name.size());
  // A mode made by an earlier call is used again.
  xcb_randr_mode_t mode = XCB_NONE;
  const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(resources.get());
  const uint8_t* names = xcb_randr_get_screen_resources_current_names(resources.get());
  for (int i = 0, count = xcb_randr_get_screen_resources_current_modes_length(resources.get()); i < count; ++i) {
    if (std::string(reinterpret_cast<const char*>(names), modes[i].name_len) == name) mode = modes[i].id;
    names += modes[i].name_len;
  }
  if (mode == XCB_NONE) {
    xcb_generic_error_t* failure = nullptr;
    auto created = xcbOwn(xcb_randr_create_mode_reply(
        c, xcb_randr_create_mode(c, connection.root(), info, static_cast<uint32_t>(name.size()), name.data()),
        &failure));
    free(failure);
    if (!created) return fail(error, "the server refused mode " + name);
    mode = created->mode;
    if (auto e = xcbOwn(xcb_request_check(c, xcb_randr_add_output_mode_checked(c, outputId, mode)))) {
      return fail(error, "the output refused mode " + name);
    }
  }

  // The root's current size (the connection's setup data still has the size at connection time).
  auto root = xcbOwn(xcb_get_geometry_reply(c, xcb_get_geometry(c, connection.root()), nullptr));
  if (!root) return fail(error, "no root geometry");
  const uint16_t screenWidth = std::max(root->width, width);
  const uint16_t screenHeight = std::max(root->height, height);
  if (screenWidth != root->width || screenHeight != root->height) {
    if (auto e = xcbOwn(xcb_request_check(
            c, xcb_randr_set_screen_size_checked(c, connection.root(), screenWidth, screenHeight,
                                                 static_cast<uint32_t>(screenWidth * kMillimetresPerPixel),
                                                 static_cast<uint32_t>(screenHeight * kMillimetresPerPixel))))) {
      return fail(error, "the screen cannot grow to " + std::to_string(screenWidth) + "x" + std::to_string(screenHeight));
    }
  }
  const xcb_randr_output_t outputs[] = {outputId};
  auto set = xcbOwn(xcb_randr_set_crtc_config_reply(
      c,
      xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, resources->config_timestamp, 0, 0, mode,
                                XCB_RANDR_ROTATION_ROTATE_0, 1, outputs),
      nullptr));
  if (!set || set->status != XCB_RANDR_SET_CONFIG_SUCCESS) return fail(error, "the CRTC refused mode " + name);
  return true;
}

}  // namespace tavlo::testkit
