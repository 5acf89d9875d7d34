#include "host/controller/cursor_shapes.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/runtime/checked_number.hpp"

namespace tavlo {

using vela::CursorShape;

namespace {

// The names the freedesktop cursor themes (and the core X cursor font) give the standard cursors, in
// the order of the shapes. "hand" is a pointing hand in some themes and an open hand in others: listed
// for both, it is ambiguous and stays out.
constexpr std::pair<const char*, CursorShape> standardNames[] = {
    {"left_ptr", CursorShape::arrow},
    {"default", CursorShape::arrow},
    {"arrow", CursorShape::arrow},
    {"top_left_arrow", CursorShape::arrow},
    {"xterm", CursorShape::iBeam},
    {"text", CursorShape::iBeam},
    {"ibeam", CursorShape::iBeam},
    {"hand2", CursorShape::pointingHand},
    {"hand1", CursorShape::pointingHand},
    {"pointer", CursorShape::pointingHand},
    {"pointing_hand", CursorShape::pointingHand},
    {"hand", CursorShape::pointingHand},
    {"openhand", CursorShape::openHand},
    {"grab", CursorShape::openHand},
    {"hand", CursorShape::openHand},
    {"closedhand", CursorShape::closedHand},
    {"grabbing", CursorShape::closedHand},
    {"fleur", CursorShape::closedHand},
    {"sb_h_double_arrow", CursorShape::resizeLeftRight},
    {"ew-resize", CursorShape::resizeLeftRight},
    {"col-resize", CursorShape::resizeLeftRight},
    {"size_hor", CursorShape::resizeLeftRight},
    {"sb_v_double_arrow", CursorShape::resizeUpDown},
    {"ns-resize", CursorShape::resizeUpDown},
    {"row-resize", CursorShape::resizeUpDown},
    {"size_ver", CursorShape::resizeUpDown},
    {"crosshair", CursorShape::crosshair},
    {"cross", CursorShape::crosshair},
    {"tcross", CursorShape::crosshair},
    {"not-allowed", CursorShape::notAllowed},
    {"no-drop", CursorShape::notAllowed},
    {"forbidden", CursorShape::notAllowed},
    {"circle", CursorShape::notAllowed},
    {"context-menu", CursorShape::contextualMenu},
    {"copy", CursorShape::dragCopy},
    {"dnd-copy", CursorShape::dragCopy},
    {"alias", CursorShape::dragLink},
    {"link", CursorShape::dragLink},
    {"dnd-link", CursorShape::dragLink},
    {"vertical-text", CursorShape::iBeamVertical},
    {"left_side", CursorShape::resizeLeft},
    {"w-resize", CursorShape::resizeLeft},
    {"right_side", CursorShape::resizeRight},
    {"e-resize", CursorShape::resizeRight},
    {"top_side", CursorShape::resizeUp},
    {"n-resize", CursorShape::resizeUp},
    {"bottom_side", CursorShape::resizeDown},
    {"s-resize", CursorShape::resizeDown},
    {"pirate", CursorShape::disappearingItem},
    {"X_cursor", CursorShape::disappearingItem},
};

std::string halfStep(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", std::round(value * 2) / 2);
  return text;
}

}  // namespace

const CursorShapeTable& CursorShapeTable::standard() {
  static const CursorShapeTable table(standardNames);
  return table;
}

void CursorShapeTable::add(const std::string& name, CursorShape shape) {
  if (ambiguous_.count(name)) return;
  auto found = shapes_.find(name);
  if (found == shapes_.end()) {
    shapes_.emplace(name, shape);
  } else if (found->second != shape) {
    shapes_.erase(found);
    ambiguous_.insert(name);
  }
}

CursorShape CursorShapeTable::shapeOf(const std::string& name) const {
  auto found = shapes_.find(name);
  return found == shapes_.end() ? CursorShape::custom : found->second;
}

std::string CursorShapeTable::namesJoined() const {
  std::string text;
  for (const auto& [name, shape] : shapes_) text += (text.empty() ? "" : " ") + name;
  return text;
}

const char* cursorShapeName(CursorShape shape) {
  static constexpr const char* names[] = {
      "custom",          "arrow",        "iBeam",       "pointingHand", "openHand",   "closedHand",  "resizeLeftRight",
      "resizeUpDown",    "crosshair",    "notAllowed",  "contextualMenu", "dragCopy", "dragLink",    "iBeamVertical",
      "resizeLeft",      "resizeRight",  "resizeUp",    "resizeDown",   "disappearingItem"};
  const auto index = static_cast<size_t>(shape);
  return index < std::size(names) ? names[index] : "custom";
}

std::string cursorSignature(const CursorSnapshot& cursor) {
  std::string sizes = halfStep(cursor.width) + "x" + halfStep(cursor.height) + "@" + halfStep(cursor.hotX) + "," +
                      halfStep(cursor.hotY);
  return cursor.name.empty() ? sizes : cursor.name + " " + sizes;
}

std::optional<CursorBitmap> renderCursor(const CursorSnapshot& cursor, double pixelsPerPoint) {
  if (cursor.width <= 0 || cursor.height <= 0 ||
      cursor.argb.size() < static_cast<size_t>(cursor.width) * static_cast<size_t>(cursor.height)) {
    return std::nullopt;
  }
  // A scale that is not a positive number has no picture; a huge one saturates and fails the size limit.
  if (!(pixelsPerPoint > 0) || !std::isfinite(pixelsPerPoint)) return std::nullopt;
  const int64_t width = std::max<int64_t>(1, truncateSaturating<int64_t>(cursor.width * pixelsPerPoint));
  const int64_t height = std::max<int64_t>(1, truncateSaturating<int64_t>(cursor.height * pixelsPerPoint));
  if (width > cursorMaxSide || height > cursorMaxSide) return std::nullopt;
  CursorBitmap bitmap{Bytes(static_cast<size_t>(width * height * 4)), width, height};
  for (int64_t y = 0; y < height; ++y) {
    const int64_t sourceY = std::min<int64_t>(cursor.height - 1, y * cursor.height / height);
    for (int64_t x = 0; x < width; ++x) {
      const int64_t sourceX = std::min<int64_t>(cursor.width - 1, x * cursor.width / width);
      const uint32_t pixel = cursor.argb[static_cast<size_t>(sourceY * cursor.width + sourceX)];
      uint8_t* out = &bitmap.bgra[static_cast<size_t>((y * width + x) * 4)];
      out[0] = static_cast<uint8_t>(pixel);
      out[1] = static_cast<uint8_t>(pixel >> 8);
      out[2] = static_cast<uint8_t>(pixel >> 16);
      out[3] = static_cast<uint8_t>(pixel >> 24);
    }
  }
  return bitmap;
}

uint32_t sampledCursorHash(const Bytes& bytes) {
  uint32_t hash = 0x811C9DC5u;
  for (size_t i = 0; i < bytes.size(); i += 37) {
    hash ^= bytes[i];
    hash *= 0x01000193u;
  }
  return hash;
}

}  // namespace tavlo
