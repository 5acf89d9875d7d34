// Blending the pointer's premultiplied image into a BGRX picture, clipped to the picture.
#include "platform/capture/cursor_overlay.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tavlo {
namespace {

TEST(CursorOverlay, BlendsPremultipliedPixelsOverThePictureAndClipsAtItsEdges) {
  CursorImage cursor;
  cursor.width = 2;
  cursor.height = 2;
  // Opaque red, transparent, half-transparent white (premultiplied: 0x80 in every channel), opaque black.
  cursor.argb = {0xffff0000u, 0x00000000u, 0x80808080u, 0xff000000u};
  constexpr int32_t kWidth = 4, kHeight = 3;
  auto picture = [] { return std::vector<uint8_t>(kWidth * kHeight * 4, 100); };
  auto pixel = [](const std::vector<uint8_t>& p, int x, int y) {
    const uint8_t* q = &p[(y * kWidth + x) * 4];
    return std::vector<int>{q[0], q[1], q[2]};
  };

  auto inside = picture();
  blendCursor(cursor, 1, 1, inside.data(), kWidth * 4, kWidth, kHeight);
  EXPECT_EQ(pixel(inside, 1, 1), (std::vector<int>{0, 0, 255}));
  EXPECT_EQ(pixel(inside, 2, 1), (std::vector<int>{100, 100, 100}));
  EXPECT_EQ(pixel(inside, 1, 2), (std::vector<int>{178, 178, 178}));  // 128 + 100 × 127 / 255
  EXPECT_EQ(pixel(inside, 2, 2), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(pixel(inside, 0, 0), (std::vector<int>{100, 100, 100}));

  // Hanging over the top-left and the bottom-right corners: only the overlapping pixel is drawn.
  auto corner = picture();
  blendCursor(cursor, -1, -1, corner.data(), kWidth * 4, kWidth, kHeight);
  EXPECT_EQ(pixel(corner, 0, 0), (std::vector<int>{0, 0, 0}));
  blendCursor(cursor, kWidth - 1, kHeight - 1, corner.data(), kWidth * 4, kWidth, kHeight);
  EXPECT_EQ(pixel(corner, kWidth - 1, kHeight - 1), (std::vector<int>{0, 0, 255}));
  // Entirely outside: nothing.
  auto outside = picture();
  blendCursor(cursor, kWidth, 0, outside.data(), kWidth * 4, kWidth, kHeight);
  blendCursor(cursor, -2, -2, outside.data(), kWidth * 4, kWidth, kHeight);
  EXPECT_EQ(outside, picture());
}

}  // namespace
}  // namespace tavlo
