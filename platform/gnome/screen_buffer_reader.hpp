#pragma once
// What a screen-cast producer put in one buffer, read without trusting it: the picture's rows are copied
// only when offset, stride and size describe the negotiated picture inside the mapped block, and the
// pointer's metadata only when its bitmap lies inside the metadata block. PipeWire hands these in from
// another process; a short or inconsistent buffer is refused with why, never read past.
//
// Pure functions; the stream's loop thread calls them on the buffer it holds.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/gnome/pipewire_screen_stream.hpp"

namespace tavlo {

// The picture's channel order in the producer's buffers.
enum class ScreenPixelOrder : uint8_t { bgrx, rgbx };

// One mapped block of a buffer and the chunk the producer filled in it.
struct ScreenBufferBlock {
  const uint8_t* data = nullptr;  // null: not mapped (a memory type we did not ask for)
  size_t mappedSize = 0;          // bytes readable at data
  uint32_t chunkOffset = 0;
  uint32_t chunkSize = 0;
  int32_t chunkStride = 0;
};

// Copies the picture of `size` from `block` into `frame` as BGRX rows (tightly packed), reusing its
// memory. nullopt on success; otherwise why the block does not hold such a picture (frame unchanged or
// partly written).
std::optional<std::string> copyScreenPicture(const ScreenBufferBlock& block, PixelSize size, ScreenPixelOrder order,
                                             ScreenFrame& frame);

// Updates `cursor` from a SPA_META_Cursor block of `metaSize` bytes. A cursor id of 0 hides the pointer;
// a bitmap offset of 0 keeps the previous image. False, with why in `error`, when the block is too short
// or its bitmap lies outside it or has an unknown format (`cursor` keeps what it had then, except that
// position and visibility are taken when the fixed part is whole).
bool readScreenCursor(const void* meta, size_t metaSize, ScreenCursor& cursor, std::string* error = nullptr);

}  // namespace tavlo
