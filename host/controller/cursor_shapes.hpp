#pragma once
// The pieces of the cursor tracker that are plain functions: the standard-shape table of the X cursor
// themes' names, the cursor's signature, its picture at the stream's pixels and the sampled hash.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "host/controller/cursor_source.hpp"
#include "platform/runtime/bytes.hpp"
#include "protocol/status_messages.hpp"

namespace tavlo {

// The themes' cursor names and their standard shapes. A name two entries give different shapes is
// ambiguous: it leaves the table and is never added again, so such a cursor is sent as `custom`.
class CursorShapeTable {
 public:
  static const CursorShapeTable& standard();
  // Builds a table from (name, shape) entries in order, with the ambiguity rule.
  template <size_t N>
  explicit CursorShapeTable(const std::pair<const char*, vela::CursorShape> (&entries)[N]) {
    for (const auto& [name, shape] : entries) add(name, shape);
  }

  vela::CursorShape shapeOf(const std::string& name) const;
  size_t size() const { return shapes_.size(); }
  // The names, sorted and joined by blanks (for the diagnostics line).
  std::string namesJoined() const;

 private:
  void add(const std::string& name, vela::CursorShape shape);
  std::map<std::string, vela::CursorShape> shapes_;
  std::set<std::string> ambiguous_;
};

const char* cursorShapeName(vela::CursorShape shape);

// Width "x" height "@" hotX "," hotY, each to 0.5 with one decimal, after the name when it has one.
std::string cursorSignature(const CursorSnapshot& cursor);

// The cursor at `pixelsPerPoint` (nearest-pixel scaling) as BGRA bytes, premultiplied; none when the
// image is empty, the scale is not a positive finite number, or a scaled side is above `cursorMaxSide`.
inline constexpr int64_t cursorMaxSide = 256;
struct CursorBitmap {
  Bytes bgra;
  int64_t width = 0;
  int64_t height = 0;
};
std::optional<CursorBitmap> renderCursor(const CursorSnapshot& cursor, double pixelsPerPoint);

// 32-bit FNV-1a over the bytes at 0, 37, 74, … of `bytes`.
uint32_t sampledCursorHash(const Bytes& bytes);

}  // namespace tavlo
