#include "platform/video/nv12_scaler.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace tavlo {
namespace {

void fill(Nv12Buffer& buffer, uint8_t luma, uint8_t cb, uint8_t cr) {
  for (int y = 0; y < buffer.height(); ++y)
    std::memset(buffer.lumaPlane() + y * buffer.lumaStride(), luma, buffer.width());
  for (int y = 0; y < buffer.chromaHeight(); ++y) {
    uint8_t* row = buffer.chromaPlane() + y * buffer.chromaStride();
    for (int x = 0; x < buffer.chromaWidth(); ++x) {
      row[2 * x] = cb;
      row[2 * x + 1] = cr;
    }
  }
}

TEST(Nv12Scaler, AveragesWhatEachDestinationPixelCoversAndKeepsTheColours) {
  auto scaler = Nv12Scaler::create();
  ASSERT_TRUE(scaler);
  auto source = Nv12Buffer::make(64, 32);
  fill(*source, 100, 60, 200);
  // Alternate black and white columns: halving the width must average them to mid grey.
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64; ++x) source->lumaPlane()[y * source->lumaStride() + x] = (x % 2) ? 235 : 16;
  }
  source->color = ColorDescription::bt709VideoRange();
  auto half = Nv12Buffer::make(32, 16);
  ASSERT_TRUE(scaler->transfer(*source, *half));
  for (int x = 0; x < 32; ++x) EXPECT_NEAR(half->lumaPlane()[8 * half->lumaStride() + x], 126, 2) << x;
  EXPECT_NEAR(half->chromaPlane()[4 * half->chromaStride() + 6], 60, 1);
  EXPECT_NEAR(half->chromaPlane()[4 * half->chromaStride() + 7], 200, 1);
  EXPECT_EQ(half->color, ColorDescription::bt709VideoRange());

  // The same scaler then serves another pair of sizes, growing a picture too.
  auto grown = Nv12Buffer::make(96, 54);
  fill(*half, 50, 128, 128);
  ASSERT_TRUE(scaler->transfer(*half, *grown));
  EXPECT_NEAR(grown->lumaPlane()[20 * grown->lumaStride() + 40], 50, 1);
}

}  // namespace
}  // namespace tavlo
