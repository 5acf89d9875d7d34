#pragma once
// Control records of the state around the picture: the cursor's image, the focused text field and the
// lock screen (host to client); the client's application state, its unlock password and its log lines.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/message_types.hpp"
#include "protocol/wire_record.hpp"

namespace vela {

// `custom` is an image that is none of the standard system cursors; each other case names one.
enum class CursorShape : uint8_t {
  custom = 0,
  arrow = 1,
  iBeam = 2,
  pointingHand = 3,
  openHand = 4,
  closedHand = 5,
  resizeLeftRight = 6,
  resizeUpDown = 7,
  crosshair = 8,
  notAllowed = 9,
  contextualMenu = 10,
  dragCopy = 11,
  dragLink = 12,
  iBeamVertical = 13,
  resizeLeft = 14,
  resizeRight = 15,
  resizeUp = 16,
  resizeDown = 17,
  disappearingItem = 18,
};
constexpr WireEnumRange wireRange(CursorShape) { return {0, 18}; }

// A cursor image. Pixel format 0: pxH rows top to bottom of pxW pixels, each B, G, R, A with colour
// premultiplied by alpha, no padding (pxW * pxH * 4 bytes).
struct CursorImage {
  uint32_t cursorId = 0;
  uint16_t hotspotX = 0;  // pixels from the left
  uint16_t hotspotY = 0;  // pixels from the top
  uint16_t pxW = 0;
  uint16_t pxH = 0;
  uint8_t scale = 0;  // pixels per point
  uint8_t format = 0;
  Bytes data;
  CursorShape shape = CursorShape::custom;  // optional; an unknown shape reads as custom

  static void fields(auto& r, auto& io) {
    io(r.cursorId, r.hotspotX, r.hotspotY, r.pxW, r.pxH, r.scale, r.format, wire::blob32(r.data),
       wire::trailing(wire::lenient(r.shape, CursorShape::custom), CursorShape::custom));
  }
  VELA_WIRE_RECORD(CursorImage, Channel::control, ControlType::cursorImage);
};

// A cursor id and its visibility. The host neither sends nor handles it.
struct CursorSet {
  uint32_t cursorId = 0;
  bool visible = false;

  static void fields(auto& r, auto& io) { io(r.cursorId, r.visible); }
  VELA_WIRE_RECORD(CursorSet, Channel::control, ControlType::cursorSet);
};

struct ClientStateMessage {
  enum class State : uint8_t { foreground = 0, background = 1, occluded = 2 };
  friend constexpr WireEnumRange wireRange(State) { return {0, 2}; }

  State state = State::foreground;
  bool audioEnabled = true;  // optional

  static void fields(auto& r, auto& io) {
    io(wire::checked(r.state, "client state"), wire::trailing(r.audioEnabled, true));
  }
  VELA_WIRE_RECORD(ClientStateMessage, Channel::control, ControlType::clientState);
};

// The password that unlocks the Mac's lock screen. Logs show its length only, never its content.
struct LoginRequest {
  std::string password;

  static void fields(auto& r, auto& io) { io(wire::str16(r.password)); }
  VELA_WIRE_RECORD(LoginRequest, Channel::control, ControlType::login);
};

// Whether a text field has keyboard focus and where it lies, as fractions of the streamed display
// times 65,535. Everything after `active` is optional (absent: no rectangle, zeros).
struct TextFocusMessage {
  // A rectangle in global display coordinates, origin at the top left.
  struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
  };

  bool active = false;
  bool hasRect = false;  // the field's frame is known and lies on the streamed display
  uint16_t xNorm = 0;
  uint16_t yNorm = 0;
  uint16_t wNorm = 0;
  uint16_t hNorm = 0;

  // The host's message for a focused field (frame absent when unknown) on the streamed display.
  static TextFocusMessage forField(bool active, std::optional<Rect> field, Rect display);
  // A fraction as the wire carries it: below 0 gives 0, 1 or more 65,535, otherwise v * 65,535
  // truncated (NaN gives 0).
  static uint16_t normalized(double fraction);

  static void fields(auto& r, auto& io) {
    io(r.active, wire::trailing(r.hasRect, false), wire::trailing(r.xNorm, 0), wire::trailing(r.yNorm, 0),
       wire::trailing(r.wNorm, 0), wire::trailing(r.hNorm, 0));
  }
  VELA_WIRE_RECORD(TextFocusMessage, Channel::control, ControlType::textFocus);
};

struct LockStateMessage {
  bool locked = false;
  bool armed = false;  // the host would type a LoginRequest's password into the lock screen now

  static void fields(auto& r, auto& io) { io(r.locked, r.armed); }
  VELA_WIRE_RECORD(LockStateMessage, Channel::control, ControlType::lockState);
};

// One log line of the client, for the host's log.
struct ClientLogMessage {
  static constexpr size_t maxCharacters = 500;

  std::string text;

  ClientLogMessage() = default;
  // Keeps the first 500 characters (user-perceived characters, not bytes) of the line.
  explicit ClientLogMessage(std::string_view line);

  static void fields(auto& r, auto& io) { io(wire::str16(r.text)); }
  VELA_WIRE_RECORD(ClientLogMessage, Channel::control, ControlType::clientLog);
};

}  // namespace vela
