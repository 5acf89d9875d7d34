#pragma once
// What RandR says of the outputs of an Xorg screen, in the one shape the display, capture and input
// layers share. On Xorg a display is a RandR output; its display id is the output's XID.
//
// HiDPI is a scale the display layer keeps per output (points × scale = pixels): it stores it in the
// output property TAVLO_SCALE so that capture and input, in their own connections, read the same value.
// The global point space is root pixels divided by the scale of the output that holds the point.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/runtime/screen_geometry.hpp"
#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

struct OutputGeometry {
  uint32_t outputId = 0;  // the display id
  std::string name;       // "DUMMY0", …
  bool connected = false;
  uint32_t crtcId = 0;  // 0 while the output is off
  int32_t x = 0;        // the CRTC's rectangle in root pixels (zero while off)
  int32_t y = 0;
  uint32_t pixelWidth = 0;
  uint32_t pixelHeight = 0;
  int32_t rotationDegrees = 0;  // 0, 90, 180 or 270 (0 while off)
  uint32_t widthMm = 0;
  uint32_t heightMm = 0;
  int32_t scale = 1;  // TAVLO_SCALE, 1 when unset
  bool primary = false;

  bool enabled() const { return crtcId != 0; }
};

inline constexpr const char* kOutputScaleProperty = "TAVLO_SCALE";

// Every output of the screen, in RandR's order. Empty when RandR does not answer. The requests go out
// together and their replies are read afterwards: one round trip per kind of request, whatever the
// number of outputs (the display layer asks this on every captured frame while isolation settles).
std::vector<OutputGeometry> queryOutputs(const XcbConnection& connection);
std::optional<OutputGeometry> queryOutput(const XcbConnection& connection, uint32_t outputId);
// Stores the scale (1 or 2) on the output; false when the server refused.
bool setOutputScale(const XcbConnection& connection, uint32_t outputId, int32_t scale);

// The output's rectangle in the global point space: its CRTC rectangle divided by its scale. Empty
// (all zero) while the output is off.
ScreenRect pointBounds(const OutputGeometry& output);
// The first enabled output whose CRTC rectangle holds the root pixel, or nullptr.
const OutputGeometry* outputAtPixel(const std::vector<OutputGeometry>& outputs, ScreenPoint pixel);
// The first enabled output whose point rectangle holds the point, or nullptr. Outputs of different
// scales side by side in pixels overlap in points: a caller that knows the display asks for it.
const OutputGeometry* outputAtPoint(const std::vector<OutputGeometry>& outputs, ScreenPoint point);

// 32-bit INTEGER output properties, which outlive the client that wrote them (the display layer keeps
// what it must find again after a restart there). Reading gives an empty list when the property is
// absent or of another type.
std::vector<int32_t> readOutputIntegers(const XcbConnection& connection, uint32_t outputId, const char* property);
bool writeOutputIntegers(const XcbConnection& connection, uint32_t outputId, const char* property,
                         std::span<const int32_t> values);
void deleteOutputProperty(const XcbConnection& connection, uint32_t outputId, const char* property);

}  // namespace tavlo
