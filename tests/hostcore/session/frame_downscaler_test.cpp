// The encode queue's HQ downscale and soft filter: averaging to the coded size, detail taken out at the
// same size, frames passed through when there is nothing to do, and pools and conversions replaced, not
// accumulated, when sizes change.
#include <gtest/gtest.h>

#include <cmath>

#include "hostcore/session/frame_downscaler.hpp"

namespace vela {
namespace {

using Frame = FrameDownscaler::Frame;

// A frame whose luma alternates 16 and 235 pixel by pixel (the finest detail there is), grey chroma.
Frame checkerboard(int32_t w, int32_t h) {
  auto frame = tavlo::Nv12Buffer::make(w, h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) frame->lumaPlane()[y * frame->lumaStride() + x] = ((x + y) % 2) ? 235 : 16;
  for (int32_t y = 0; y < frame->chromaHeight(); ++y)
    for (int32_t x = 0; x < 2 * frame->chromaWidth(); ++x) frame->chromaPlane()[y * frame->chromaStride() + x] = 128;
  return frame;
}

// Mean absolute difference between horizontal neighbours of the luma: the detail left.
double detail(const tavlo::Nv12Buffer& frame) {
  double sum = 0;
  for (int32_t y = 0; y < frame.height(); ++y)
    for (int32_t x = 1; x < frame.width(); ++x) {
      const uint8_t* row = frame.lumaPlane() + y * frame.lumaStride();
      sum += std::abs(row[x] - row[x - 1]);
    }
  return sum / (frame.height() * (frame.width() - 1.0));
}

TEST(FrameDownscaler, AveragesAFrameOfAnotherSizeDownToTheCodedSize) {
  FrameDownscaler downscaler;
  Frame full = checkerboard(2360, 1640);
  Frame coded = downscaler.hqDownscaled(full, 1180, 820);
  ASSERT_NE(coded, full);
  EXPECT_EQ(coded->width(), 1180);
  EXPECT_EQ(coded->height(), 820);
  EXPECT_LT(detail(*coded), 4.0) << "2×2 blocks of the checkerboard average to one grey";
  EXPECT_NEAR(coded->lumaPlane()[coded->lumaStride() * 400 + 600], (16 + 235) / 2, 2);

  EXPECT_EQ(downscaler.hqDownscaled(coded, 1180, 820), coded) << "already at the coded size";
  EXPECT_EQ(downscaler.hqDownscaled(full, 0, 0), full) << "no coded size yet";
}

TEST(FrameDownscaler, TheSoftFilterKeepsTheSizeButTakesDetailOutOnlyWhenOn) {
  FrameDownscaler downscaler;
  Frame frame = checkerboard(640, 360);
  EXPECT_EQ(downscaler.softFiltered(frame, 1000, true), frame);
  EXPECT_EQ(downscaler.softFiltered(frame, 500, false), frame);
  Frame soft = downscaler.softFiltered(frame, 500, true);
  ASSERT_NE(soft, frame);
  EXPECT_EQ(soft->width(), 640);
  EXPECT_EQ(soft->height(), 360);
  EXPECT_LT(detail(*soft), detail(*frame) / 4);
  EXPECT_EQ(downscaler.softHalfPool()->width(), 320);
  EXPECT_EQ(FrameDownscaler::softSide(641, 333), 212) << "213 rounded down to even";
  EXPECT_EQ(FrameDownscaler::softSide(5, 300), 2) << "never below 2";
}

TEST(FrameDownscaler, ResizesReplaceThePoolsAndKeepTheConversionsBounded) {
  FrameDownscaler downscaler;
  Frame full = checkerboard(1280, 720);
  std::weak_ptr<tavlo::Nv12BufferPool> firstPool;
  for (int step = 0; step < 12; ++step) {
    int64_t w = 640 + 32 * step, h = 360 + 18 * step;
    for (int frame = 0; frame < 3; ++frame) {
      Frame coded = downscaler.hqDownscaled(full, w, h);
      ASSERT_EQ(coded->width(), w);
      downscaler.softFiltered(coded, 700, true);
    }
    if (step == 0) firstPool = downscaler.scalePool();
    EXPECT_EQ(downscaler.scalePool()->allocations(), 1u) << "a steady size reuses one buffer";
  }
  EXPECT_TRUE(firstPool.expired()) << "the pool of an old size is gone";
  EXPECT_LE(downscaler.scaler()->conversionCount(), tavlo::Nv12Scaler::kMaxConversions);
}

}  // namespace
}  // namespace vela
