#pragma once
// Gives an output of a test's Xorg a mode of any size through RandR (a new mode, added to the output,
// set on its CRTC, the screen grown to hold it), for tests and benchmarks that need a display of a given
// size without the display layer.
#include <cstdint>
#include <string>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo::testkit {

// True once `outputId` shows `width` × `height` at the origin; false, with the reason in `error`, when
// the server refused a step.
bool setOutputMode(const XcbConnection& connection, uint32_t outputId, uint16_t width, uint16_t height,
                   std::string* error = nullptr);

}  // namespace tavlo::testkit
