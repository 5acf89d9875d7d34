#pragma once
// The RandR configuration of an Xorg screen as a value that can be changed in memory and committed:
// CRTCs (what each one shows, where), outputs (which CRTCs and modes each may use) and modes. The Xorg
// display system plans a change on a copy of the layout it read, then commits the difference.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

struct RandrMode {
  uint32_t id = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  std::string name;
};

struct RandrCrtc {
  uint32_t id = 0;
  uint32_t mode = 0;  // 0: off
  int32_t x = 0;
  int32_t y = 0;
  uint32_t width = 0;  // in root pixels, rotation applied
  uint32_t height = 0;
  uint16_t rotation = 1;  // RandR rotation bits; 1 is unrotated
  std::vector<uint32_t> outputs;
  std::vector<uint32_t> possibleOutputs;

  bool on() const { return mode != 0; }
  int64_t right() const { return int64_t{x} + width; }
  int64_t bottom() const { return int64_t{y} + height; }
};

struct RandrOutput {
  uint32_t id = 0;
  std::string name;
  bool connected = false;
  std::vector<uint32_t> crtcs;  // the CRTCs it may use
  std::vector<uint32_t> modes;  // preferred ones first
  uint16_t preferredCount = 0;
};

struct RandrLayout {
  uint32_t configTimestamp = 0;
  uint32_t screenWidth = 0;
  uint32_t screenHeight = 0;
  uint32_t minWidth = 0;
  uint32_t minHeight = 0;
  uint32_t maxWidth = 0;
  uint32_t maxHeight = 0;
  uint32_t primary = 0;
  std::vector<RandrCrtc> crtcs;
  std::vector<RandrOutput> outputs;
  std::vector<RandrMode> modes;

  const RandrOutput* output(uint32_t id) const;
  RandrCrtc* crtc(uint32_t id);
  const RandrCrtc* crtc(uint32_t id) const;
  const RandrMode* mode(uint32_t id) const;
  // The CRTC that shows the output; nullptr while it is off.
  RandrCrtc* crtcShowing(uint32_t output);
  const RandrCrtc* crtcShowing(uint32_t output) const;
  // A CRTC the output may use that shows nothing.
  RandrCrtc* freeCrtcFor(uint32_t output);
  // Shows `mode` on `output` through `crtc` at (x, y); false when the mode is unknown.
  bool show(RandrCrtc& crtc, uint32_t output, uint32_t mode, int32_t x, int32_t y, uint16_t rotation);
  void switchOff(RandrCrtc& crtc);
  // The right edge of the CRTCs that are on (0 when none is).
  int64_t rightEdge() const;
};

// Empty when RandR does not answer.
std::optional<RandrLayout> readRandrLayout(const XcbConnection& connection);

// Sets every CRTC whose setting differs between `before` and `after`, growing the screen first so that
// both layouts fit and shrinking it to `after` at the end. False when the server refused a step (the
// steps before it stay done).
bool commitRandrLayout(const XcbConnection& connection, const RandrLayout& before, const RandrLayout& after);

// A mode of that pixel size at 60 Hz, created once: an identical mode that exists is reused.
std::optional<uint32_t> createRandrMode(const XcbConnection& connection, uint32_t width, uint32_t height);
bool addOutputMode(const XcbConnection& connection, uint32_t output, uint32_t mode);
void deleteOutputMode(const XcbConnection& connection, uint32_t output, uint32_t mode);
// Fails quietly while another output still uses the mode.
void destroyRandrMode(const XcbConnection& connection, uint32_t mode);
bool setPrimaryOutput(const XcbConnection& connection, uint32_t output);

// The prefix of the names of the modes this system creates.
inline constexpr std::string_view kRandrModePrefix = "TAVLO_";

}  // namespace tavlo
