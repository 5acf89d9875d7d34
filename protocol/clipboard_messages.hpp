#pragma once
// The three clipboard records, sent by either side on the control channel: an item is announced,
// requested from an offset, and sent in pieces. The transfer engine ties sizes and pieces together;
// the records check nothing beyond their own lengths.
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/message_types.hpp"
#include "protocol/wire_record.hpp"

namespace vela {

// A new clipboard item on offer. (`inline_` is the item's bytes when they travel with the offer; the
// trailing underscore only avoids the keyword.)
struct ClipAnnounce {
  uint64_t clipId = 0;
  std::string uti;  // uniform type identifier
  uint32_t size = 0;
  std::string name;  // the file name of a file item, else empty
  std::optional<Bytes> inline_;

  static void fields(auto& r, auto& io) {
    io(r.clipId, wire::str16(r.uti), r.size, wire::str16(r.name), wire::flaggedBlob32(r.inline_));
  }
  VELA_WIRE_RECORD(ClipAnnounce, Channel::control, ControlType::clipAnnounce);
};

// An offered item, wanted from `fromOffset` on (0 for all of it, more to resume).
struct ClipRequest {
  uint64_t clipId = 0;
  uint32_t fromOffset = 0;

  static void fields(auto& r, auto& io) { io(r.clipId, r.fromOffset); }
  VELA_WIRE_RECORD(ClipRequest, Channel::control, ControlType::clipRequest);
};

// One piece of a requested item.
struct ClipData {
  uint64_t clipId = 0;
  uint32_t total = 0;  // the item's whole size
  uint32_t offset = 0;
  Bytes chunk;

  // Whether this piece reaches the item's end (computed without 32-bit overflow).
  bool isLast() const { return uint64_t{offset} + chunk.size() >= total; }

  static void fields(auto& r, auto& io) { io(r.clipId, r.total, r.offset, wire::blob32(r.chunk)); }
  VELA_WIRE_RECORD(ClipData, Channel::control, ControlType::clipData);
};

}  // namespace vela
