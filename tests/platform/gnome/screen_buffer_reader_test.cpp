// Reading a screen-cast producer's buffers without trusting them: pictures copied only when the chunk
// describes the negotiated picture inside the mapped block, the pointer's metadata only when whole.
#include "platform/gnome/screen_buffer_reader.hpp"

#include <gtest/gtest.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <cstring>
#include <vector>

namespace tavlo {
namespace {

// A 3 × 2 picture with 4 bytes of padding after each row, pixel (x, y) = {x, y, 10 + x, 0xff}.
std::vector<uint8_t> paddedPicture() {
  constexpr int kStride = 16;
  std::vector<uint8_t> block(kStride * 2, 0xee);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      uint8_t* p = &block[y * kStride + x * 4];
      p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = uint8_t(10 + x), p[3] = 0xff;
    }
  }
  return block;
}

TEST(ScreenBufferReader, CopiesPaddedRowsTightlyAndSwapsRedAndBlueOfRgbProducers) {
  const auto block = paddedPicture();
  const ScreenBufferBlock view{block.data(), block.size(), 0, uint32_t(block.size()), 16};
  ScreenFrame frame;
  ASSERT_EQ(copyScreenPicture(view, {3, 2}, ScreenPixelOrder::bgrx, frame), std::nullopt);
  EXPECT_EQ(frame.width, 3);
  EXPECT_EQ(frame.height, 2);
  EXPECT_EQ(frame.bytesPerRow, 12);
  ASSERT_EQ(frame.pixels.size(), 24u);
  EXPECT_EQ(frame.pixels[12 + 4 * 2 + 0], 2);   // (2, 1) blue
  EXPECT_EQ(frame.pixels[12 + 4 * 2 + 1], 1);   // green
  EXPECT_EQ(frame.pixels[12 + 4 * 2 + 2], 12);  // red

  ASSERT_EQ(copyScreenPicture(view, {3, 2}, ScreenPixelOrder::rgbx, frame), std::nullopt);
  EXPECT_EQ(frame.pixels[12 + 4 * 2 + 0], 12);
  EXPECT_EQ(frame.pixels[12 + 4 * 2 + 2], 2);

  // A last row without its padding is whole; a zero stride means tightly packed rows.
  ASSERT_EQ(copyScreenPicture({block.data(), 28, 0, 28, 16}, {3, 2}, ScreenPixelOrder::bgrx, frame), std::nullopt);
  ASSERT_EQ(copyScreenPicture({block.data(), 24, 0, 24, 0}, {3, 2}, ScreenPixelOrder::bgrx, frame), std::nullopt);
}

TEST(ScreenBufferReader, RefusesChunksThatDoNotHoldTheNegotiatedPicture) {
  const auto block = paddedPicture();
  ScreenFrame frame;
  auto refused = [&](ScreenBufferBlock view, PixelSize size) {
    auto why = copyScreenPicture(view, size, ScreenPixelOrder::bgrx, frame);
    return why.has_value() && !why->empty();
  };
  // One byte short of the last row.
  EXPECT_TRUE(refused({block.data(), block.size(), 0, 27, 16}, {3, 2}));
  // A stride shorter than a row, and a negative one.
  EXPECT_TRUE(refused({block.data(), block.size(), 0, 32, 8}, {3, 2}));
  EXPECT_TRUE(refused({block.data(), block.size(), 0, 32, -16}, {3, 2}));
  // The chunk claims enough, but its offset pushes it past the mapped block.
  EXPECT_TRUE(refused({block.data(), block.size(), 8, 28, 16}, {3, 2}));
  EXPECT_TRUE(refused({block.data(), block.size(), 0xffffffffu, 28, 16}, {3, 2}));
  // Rows narrower or fewer than the negotiated picture's.
  EXPECT_TRUE(refused({block.data(), block.size(), 0, 32, 16}, {5, 2}));
  EXPECT_TRUE(refused({block.data(), block.size(), 0, 32, 16}, {3, 3}));
  // Unmapped memory, or no size yet.
  EXPECT_TRUE(refused({nullptr, block.size(), 0, 32, 16}, {3, 2}));
  EXPECT_TRUE(refused({block.data(), block.size(), 0, 32, 16}, {0, 0}));
  // A huge picture's arithmetic does not wrap around into "fits".
  EXPECT_TRUE(refused({block.data(), block.size(), 0, 32, 0x7fffffff}, {16384, 16384}));
}

// SPA_META_Cursor as a producer writes it: the fixed part, then a bitmap header, then its pixels.
std::vector<uint8_t> cursorMeta(uint32_t id, spa_point position, spa_point hotspot, bool withBitmap,
                                uint32_t format = SPA_VIDEO_FORMAT_RGBA, uint32_t side = 2) {
  std::vector<uint8_t> meta(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + side * side * 4, 0);
  spa_meta_cursor fixed{};
  fixed.id = id;
  fixed.position = position;
  fixed.hotspot = hotspot;
  fixed.bitmap_offset = withBitmap ? sizeof(spa_meta_cursor) : 0;
  std::memcpy(meta.data(), &fixed, sizeof fixed);
  spa_meta_bitmap bitmap{};
  bitmap.format = format;
  bitmap.size = {side, side};
  bitmap.stride = int32_t(side * 4);
  bitmap.offset = sizeof(spa_meta_bitmap);
  std::memcpy(meta.data() + sizeof fixed, &bitmap, sizeof bitmap);
  uint8_t* pixels = meta.data() + sizeof fixed + sizeof bitmap;
  for (uint32_t i = 0; i < side * side; ++i) {
    pixels[i * 4 + 0] = 0x11, pixels[i * 4 + 1] = 0x22, pixels[i * 4 + 2] = 0x33, pixels[i * 4 + 3] = 0xff;
  }
  return meta;
}

TEST(ScreenBufferReader, FollowsThePointerAndKeepsItsImageUntilANewOneComes) {
  ScreenCursor cursor;
  auto first = cursorMeta(1, {100, 50}, {3, 4}, true);
  ASSERT_TRUE(readScreenCursor(first.data(), first.size(), cursor));
  EXPECT_TRUE(cursor.visible);
  EXPECT_EQ(cursor.x, 100);
  EXPECT_EQ(cursor.hotspotY, 4);
  ASSERT_TRUE(cursor.image);
  EXPECT_EQ(cursor.image->width, 2);
  EXPECT_EQ(cursor.image->argb[0], 0xff112233u);  // RGBA bytes to an ARGB word
  const uint32_t serial = cursor.serial;

  // A move without a bitmap keeps the image and its serial.
  auto moved = cursorMeta(1, {101, 51}, {3, 4}, false);
  ASSERT_TRUE(readScreenCursor(moved.data(), moved.size(), cursor));
  EXPECT_EQ(cursor.x, 101);
  EXPECT_EQ(cursor.serial, serial);
  ASSERT_TRUE(cursor.image);

  // Id 0: the pointer is not on this monitor.
  auto gone = cursorMeta(0, {0, 0}, {0, 0}, false);
  ASSERT_TRUE(readScreenCursor(gone.data(), gone.size(), cursor));
  EXPECT_FALSE(cursor.visible);

  auto bgra = cursorMeta(1, {5, 5}, {0, 0}, true, SPA_VIDEO_FORMAT_BGRA);
  ASSERT_TRUE(readScreenCursor(bgra.data(), bgra.size(), cursor));
  EXPECT_EQ(cursor.image->argb[0], 0xff332211u);
  EXPECT_NE(cursor.serial, serial);
}

TEST(ScreenBufferReader, RefusesCursorMetadataWhoseBitmapLiesOutsideIt) {
  ScreenCursor cursor;
  auto good = cursorMeta(1, {10, 10}, {0, 0}, true);
  ASSERT_TRUE(readScreenCursor(good.data(), good.size(), cursor));
  const auto image = cursor.image;

  std::string why;
  // Cut one byte off the pixels.
  EXPECT_FALSE(readScreenCursor(good.data(), good.size() - 1, cursor, &why));
  EXPECT_FALSE(why.empty());
  // Not even the fixed part.
  EXPECT_FALSE(readScreenCursor(good.data(), sizeof(spa_meta_cursor) - 1, cursor));
  // A bitmap offset pointing past the block, or into the fixed part.
  for (uint32_t offset : {uint32_t(good.size()), 0xfffffff0u, 4u}) {
    auto bad = good;
    std::memcpy(bad.data() + offsetof(spa_meta_cursor, bitmap_offset), &offset, sizeof offset);
    EXPECT_FALSE(readScreenCursor(bad.data(), bad.size(), cursor)) << offset;
  }
  // A bitmap that claims to be larger than the block.
  auto large = cursorMeta(1, {10, 10}, {0, 0}, true, SPA_VIDEO_FORMAT_RGBA, 2);
  spa_meta_bitmap bitmap{};
  std::memcpy(&bitmap, large.data() + sizeof(spa_meta_cursor), sizeof bitmap);
  bitmap.size = {64, 64};
  std::memcpy(large.data() + sizeof(spa_meta_cursor), &bitmap, sizeof bitmap);
  EXPECT_FALSE(readScreenCursor(large.data(), large.size(), cursor));
  // A format without alpha.
  auto opaque = cursorMeta(1, {10, 10}, {0, 0}, true, SPA_VIDEO_FORMAT_RGBx);
  EXPECT_FALSE(readScreenCursor(opaque.data(), opaque.size(), cursor));
  // The image taken before stays.
  EXPECT_EQ(cursor.image, image);
}

}  // namespace
}  // namespace tavlo
