#include "platform/x11/randr_outputs.hpp"

#include <xcb/randr.h>

#include <cstring>

namespace tavlo {
namespace {

xcb_atom_t scaleAtom(xcb_connection_t* c) {
  auto reply = xcbOwn(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(kOutputScaleProperty)), kOutputScaleProperty),
      nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

int32_t readScale(xcb_connection_t* c, xcb_randr_output_t output, xcb_atom_t atom) {
  if (atom == XCB_ATOM_NONE) return 1;
  auto reply = xcbOwn(xcb_randr_get_output_property_reply(
      c, xcb_randr_get_output_property(c, output, atom, XCB_ATOM_INTEGER, 0, 1, 0, 0), nullptr));
  if (!reply || reply->format != 32 || reply->num_items != 1) return 1;
  int32_t value = 0;
  std::memcpy(&value, xcb_randr_get_output_property_data(reply.get()), sizeof value);
  return value == 2 ? 2 : 1;
}

}  // namespace

std::vector<OutputGeometry> queryOutputs(const XcbConnection& connection) {
  xcb_connection_t* c = connection.get();
  std::vector<OutputGeometry> outputs;
  auto resources = xcbOwn(xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, connection.root()), nullptr));
  if (!resources) return outputs;
  auto primary = xcbOwn(xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, connection.root()),
                                                           nullptr));
  const xcb_atom_t atom = scaleAtom(c);
  const xcb_randr_output_t* ids = xcb_randr_get_screen_resources_current_outputs(resources.get());
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
  for (int i = 0; i < count; ++i) {
    auto info = xcbOwn(xcb_randr_get_output_info_reply(
        c, xcb_randr_get_output_info(c, ids[i], resources->config_timestamp), nullptr));
    if (!info) continue;
    OutputGeometry out;
    out.outputId = ids[i];
    out.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                    static_cast<size_t>(xcb_randr_get_output_info_name_length(info.get())));
    out.connected = info->connection == XCB_RANDR_CONNECTION_CONNECTED;
    out.widthMm = info->mm_width;
    out.heightMm = info->mm_height;
    out.primary = primary && primary->output == ids[i];
    out.scale = readScale(c, ids[i], atom);
    if (info->crtc != XCB_NONE) {
      auto crtc = xcbOwn(xcb_randr_get_crtc_info_reply(
          c, xcb_randr_get_crtc_info(c, info->crtc, resources->config_timestamp), nullptr));
      if (crtc && crtc->mode != XCB_NONE) {
        out.crtcId = info->crtc;
        out.x = crtc->x;
        out.y = crtc->y;
        out.pixelWidth = crtc->width;
        out.pixelHeight = crtc->height;
      }
    }
    outputs.push_back(std::move(out));
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
  xcb_connection_t* c = connection.get();
  const xcb_atom_t atom = scaleAtom(c);
  if (atom == XCB_ATOM_NONE) return false;
  const int32_t value = scale == 2 ? 2 : 1;
  auto error = xcbOwn(xcb_request_check(
      c, xcb_randr_change_output_property_checked(c, outputId, atom, XCB_ATOM_INTEGER, 32, XCB_PROP_MODE_REPLACE,
                                                  1, &value)));
  return error == nullptr;
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

}  // namespace tavlo
