#include "platform/x11/randr_outputs.hpp"

#include <xcb/randr.h>

#include <cstring>

namespace tavlo {
namespace {

xcb_atom_t internAtom(xcb_connection_t* c, const char* name, bool onlyIfExists,
                      XReplyDeadline deadline = xReplyDeadline()) {
  auto reply = xcbReplyBy<xcb_intern_atom_reply_t>(
      c, xcb_intern_atom(c, onlyIfExists ? 1 : 0, static_cast<uint16_t>(std::strlen(name)), name).sequence, deadline);
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

xcb_randr_get_output_property_cookie_t askIntegers(xcb_connection_t* c, uint32_t output, xcb_atom_t atom,
                                                   uint32_t maxItems) {
  return xcb_randr_get_output_property(c, output, atom, XCB_ATOM_INTEGER, 0, maxItems, 0, 0);
}

std::vector<int32_t> integersOf(xcb_connection_t* c, xcb_randr_get_output_property_cookie_t cookie,
                                XReplyDeadline deadline = xReplyDeadline()) {
  auto reply = xcbReplyBy<xcb_randr_get_output_property_reply_t>(c, cookie.sequence, deadline);
  std::vector<int32_t> values;
  if (!reply || reply->format != 32 || reply->type != XCB_ATOM_INTEGER) return values;
  const int length = xcb_randr_get_output_property_data_length(reply.get());
  if (length < 0 || static_cast<uint32_t>(length) < reply->num_items * sizeof(int32_t)) return values;
  values.resize(reply->num_items);
  std::memcpy(values.data(), xcb_randr_get_output_property_data(reply.get()), values.size() * sizeof(int32_t));
  return values;
}

int32_t degreesOf(uint16_t rotation) {
  if (rotation & XCB_RANDR_ROTATION_ROTATE_90) return 90;
  if (rotation & XCB_RANDR_ROTATION_ROTATE_180) return 180;
  if (rotation & XCB_RANDR_ROTATION_ROTATE_270) return 270;
  return 0;
}

}  // namespace

std::vector<OutputGeometry> queryOutputs(const XcbConnection& connection) {
  xcb_connection_t* c = connection.get();
  // One deadline for the whole query: a server that stalls costs one limit, not one per reply.
  const XReplyDeadline deadline = xReplyDeadline();
  std::vector<OutputGeometry> outputs;
  auto resourcesCookie = xcb_randr_get_screen_resources_current(c, connection.root());
  auto primaryCookie = xcb_randr_get_output_primary(c, connection.root());
  auto resources = xcbReplyBy<xcb_randr_get_screen_resources_current_reply_t>(c, resourcesCookie.sequence, deadline);
  auto primary = xcbReplyBy<xcb_randr_get_output_primary_reply_t>(c, primaryCookie.sequence, deadline);
  if (!resources) return outputs;
  const xcb_atom_t atom = internAtom(c, kOutputScaleProperty, true, deadline);
  const xcb_randr_output_t* ids = xcb_randr_get_screen_resources_current_outputs(resources.get());
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());

  std::vector<xcb_randr_get_output_info_cookie_t> infoCookies;
  std::vector<xcb_randr_get_output_property_cookie_t> scaleCookies;
  for (int i = 0; i < count; ++i) {
    infoCookies.push_back(xcb_randr_get_output_info(c, ids[i], resources->config_timestamp));
    if (atom != XCB_ATOM_NONE) scaleCookies.push_back(askIntegers(c, ids[i], atom, 1));
  }
  std::vector<xcb_randr_crtc_t> crtcs;
  for (int i = 0; i < count; ++i) {
    auto info = xcbReplyBy<xcb_randr_get_output_info_reply_t>(c, infoCookies[static_cast<size_t>(i)].sequence, deadline);
    std::vector<int32_t> scale;
    if (atom != XCB_ATOM_NONE) scale = integersOf(c, scaleCookies[static_cast<size_t>(i)], deadline);
    if (!info) continue;
    OutputGeometry out;
    out.outputId = ids[i];
    out.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                    static_cast<size_t>(xcb_randr_get_output_info_name_length(info.get())));
    out.connected = info->connection == XCB_RANDR_CONNECTION_CONNECTED;
    out.widthMm = info->mm_width;
    out.heightMm = info->mm_height;
    out.primary = primary && primary->output == ids[i];
    out.scale = scale.size() == 1 && scale[0] == 2 ? 2 : 1;
    crtcs.push_back(info->crtc);
    outputs.push_back(std::move(out));
  }

  std::vector<xcb_randr_get_crtc_info_cookie_t> crtcCookies;
  for (auto crtc : crtcs) {
    if (crtc != XCB_NONE) crtcCookies.push_back(xcb_randr_get_crtc_info(c, crtc, resources->config_timestamp));
  }
  size_t next = 0;
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (crtcs[i] == XCB_NONE) continue;
    auto crtc = xcbReplyBy<xcb_randr_get_crtc_info_reply_t>(c, crtcCookies[next++].sequence, deadline);
    if (!crtc || crtc->mode == XCB_NONE) continue;
    OutputGeometry& out = outputs[i];
    out.crtcId = crtcs[i];
    out.x = crtc->x;
    out.y = crtc->y;
    out.pixelWidth = crtc->width;
    out.pixelHeight = crtc->height;
    out.rotationDegrees = degreesOf(crtc->rotation);
  }
  return outputs;
}

std::optional<OutputGeometry> queryOutput(const XcbConnection& connection, uint32_t outputId) {
  for (auto& out : queryOutputs(connection)) {
    if (out.outputId == outputId) return out;
  }
  return std::nullopt;
}

bool setOutputScale(const XcbConnection& connection, uint32_t outputId, int32_t scale) {
  const int32_t value = scale == 2 ? 2 : 1;
  return writeOutputIntegers(connection, outputId, kOutputScaleProperty, std::span(&value, 1));
}

std::vector<int32_t> readOutputIntegers(const XcbConnection& connection, uint32_t outputId, const char* property) {
  xcb_connection_t* c = connection.get();
  const xcb_atom_t atom = internAtom(c, property, true);
  if (atom == XCB_ATOM_NONE) return {};
  // Our properties hold a handful of values; 64 bounds what a stranger's property of that name costs.
  constexpr uint32_t kMaxItems = 64;
  return integersOf(c, askIntegers(c, outputId, atom, kMaxItems));
}

bool writeOutputIntegers(const XcbConnection& connection, uint32_t outputId, const char* property,
                         std::span<const int32_t> values) {
  xcb_connection_t* c = connection.get();
  const xcb_atom_t atom = internAtom(c, property, false);
  if (atom == XCB_ATOM_NONE) return false;
  return xcbRequestSucceeded(
      c, xcb_randr_change_output_property_checked(c, outputId, atom, XCB_ATOM_INTEGER, 32, XCB_PROP_MODE_REPLACE,
                                                  static_cast<uint32_t>(values.size()), values.data()));
}

ScreenRect pointBounds(const OutputGeometry& output) {
  if (!output.enabled()) return {};
  const double scale = output.scale;
  return {output.x / scale, output.y / scale, output.pixelWidth / scale, output.pixelHeight / scale};
}

const OutputGeometry* outputAtPixel(const std::vector<OutputGeometry>& outputs, ScreenPoint pixel) {
  for (const auto& out : outputs) {
    const ScreenRect crtc{double(out.x), double(out.y), double(out.pixelWidth), double(out.pixelHeight)};
    if (out.enabled() && crtc.contains(pixel)) return &out;
  }
  return nullptr;
}

const OutputGeometry* outputAtPoint(const std::vector<OutputGeometry>& outputs, ScreenPoint point) {
  for (const auto& out : outputs) {
    if (out.enabled() && pointBounds(out).contains(point)) return &out;
  }
  return nullptr;
}

void deleteOutputProperty(const XcbConnection& connection, uint32_t outputId, const char* property) {
  xcb_connection_t* c = connection.get();
  const xcb_atom_t atom = internAtom(c, property, true);
  if (atom == XCB_ATOM_NONE) return;
  (void)xcbRequestSucceeded(c, xcb_randr_delete_output_property_checked(c, outputId, atom));
}

}  // namespace tavlo
