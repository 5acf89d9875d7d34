#include "platform/capture/synthetic_desktop.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tavlo {
namespace {

TEST(SyntheticDesktop, PaintsTheSamePictureForTheSameSeedAndMovesBetweenFrames) {
  auto paint = [](uint64_t seed, uint64_t index, bool cursor) {
    auto buffer = Nv12Buffer::make(160, 90);
    SyntheticDesktop(seed).paint(index, cursor, *buffer);
    std::vector<uint8_t> luma;
    for (int y = 0; y < 90; ++y) {
      luma.insert(luma.end(), buffer->lumaPlane() + y * buffer->lumaStride(),
                  buffer->lumaPlane() + y * buffer->lumaStride() + 160);
    }
    return luma;
  };
  EXPECT_EQ(paint(3, 10, false), paint(3, 10, false));
  EXPECT_NE(paint(3, 10, false), paint(3, 11, false));
  EXPECT_NE(paint(3, 10, false), paint(4, 10, false));
  EXPECT_NE(paint(3, 10, false), paint(3, 10, true));
}

}  // namespace
}  // namespace tavlo
