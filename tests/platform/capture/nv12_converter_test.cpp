// The colour conversion the stream's decoders rely on: BT.709 in video range, the same in every slice,
// with the picture scaled to the stream's size.
#include "platform/capture/nv12_converter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace tavlo {
namespace {

struct Bgrx {
  uint8_t b, g, r;
};

struct Nv12Picture {
  Nv12Picture(int32_t width, int32_t height)
      : width(width), height(height), luma(size_t(width) * height), chroma(size_t(width) * height / 2) {}
  Nv12View view() { return {luma.data(), width, chroma.data(), width, width, height}; }
  int y(int32_t x, int32_t row) const { return luma[size_t(row) * width + x]; }
  int cb(int32_t x, int32_t row) const { return chroma[size_t(row / 2) * width + (x & ~1)]; }
  int cr(int32_t x, int32_t row) const { return chroma[size_t(row / 2) * width + (x & ~1) + 1]; }
  int32_t width, height;
  std::vector<uint8_t> luma, chroma;
};

std::vector<uint8_t> filled(int32_t width, int32_t height, Bgrx colour) {
  std::vector<uint8_t> pixels(size_t(width) * height * 4);
  for (size_t i = 0; i < pixels.size(); i += 4) {
    pixels[i] = colour.b;
    pixels[i + 1] = colour.g;
    pixels[i + 2] = colour.r;
    pixels[i + 3] = 0;
  }
  return pixels;
}

TEST(Nv12Converter, ConvertsWithTheBt709MatrixInVideoRangeInEverySlice) {
  struct Row {
    const char* name;
    Bgrx colour;
    int y, cb, cr;  // BT.709, luma 16–235, chroma 16–240
  };
  const Row rows[] = {
      {"white", {255, 255, 255}, 235, 128, 128}, {"black", {0, 0, 0}, 16, 128, 128},
      {"red", {0, 0, 255}, 63, 102, 240},        {"green", {0, 255, 0}, 173, 42, 26},
      {"blue", {255, 0, 0}, 32, 240, 118},
  };
  constexpr int32_t kWidth = 1920, kHeight = 1080;
  for (const auto engine : {Nv12Converter::Engine::fastest, Nv12Converter::Engine::libswscale}) {
    auto converter = Nv12Converter::create(kWidth, kHeight, kWidth, kHeight, 4, engine);
    ASSERT_NE(converter, nullptr);
    EXPECT_EQ(converter->direct(), engine == Nv12Converter::Engine::fastest);
    Nv12Picture out(kWidth, kHeight);
    for (const Row& row : rows) {
      auto in = filled(kWidth, kHeight, row.colour);
      ASSERT_TRUE(converter->convert({in.data(), kWidth * 4, kWidth, kHeight}, out.view())) << row.name;
      // The first and last rows fall in different slices.
      for (int32_t line : {0, kHeight / 2, kHeight - 1}) {
        EXPECT_NEAR(out.y(kWidth - 1, line), row.y, 1) << row.name << " row " << line;
        EXPECT_NEAR(out.cb(kWidth - 1, line), row.cb, 1) << row.name << " row " << line;
        EXPECT_NEAR(out.cr(kWidth - 1, line), row.cr, 1) << row.name << " row " << line;
      }
    }
  }
}

// Our own rows against libswscale on a picture of odd size with smooth colour ramps and a sharp edge:
// the same luma (rounding apart) and the same chroma as the mean of each 2 × 2 block, the last odd row
// included; the last odd column's chroma is the matrix's value of its own pixels.
TEST(Nv12Converter, OurRowsMatchLibswscaleAtTheSameSizeAlsoForOddSizes) {
  constexpr int32_t kWidth = 641, kHeight = 361;
  constexpr int32_t kStride = 642;  // even chroma rows of an odd width need (641 + 1) bytes
  std::vector<uint8_t> in(size_t(kWidth) * kHeight * 4);
  for (int32_t row = 0; row < kHeight; ++row) {
    for (int32_t x = 0; x < kWidth; ++x) {
      uint8_t* p = &in[(size_t(row) * kWidth + x) * 4];
      p[0] = uint8_t(x * 255 / kWidth);
      p[1] = uint8_t(row * 255 / kHeight);
      p[2] = x < kWidth / 2 ? 40 : 220;
      p[3] = 0;
    }
  }
  std::vector<uint8_t> luma[2], chroma[2];
  const Nv12Converter::Engine engines[2] = {Nv12Converter::Engine::fastest, Nv12Converter::Engine::libswscale};
  for (int i = 0; i < 2; ++i) {
    auto converter = Nv12Converter::create(kWidth, kHeight, kWidth, kHeight, 1, engines[i]);
    ASSERT_NE(converter, nullptr);
    luma[i].assign(size_t(kStride) * kHeight, 0);
    chroma[i].assign(size_t(kStride) * ((kHeight + 1) / 2), 0);
    ASSERT_TRUE(converter->convert({in.data(), kWidth * 4, kWidth, kHeight},
                                   {luma[i].data(), kStride, chroma[i].data(), kStride, kWidth, kHeight}));
  }
  int lumaOff = 0, chromaOff = 0;
  for (int32_t row = 0; row < kHeight; ++row) {
    for (int32_t x = 0; x < kWidth; ++x) {
      const size_t at = size_t(row) * kStride + x;
      lumaOff = std::max(lumaOff, std::abs(int(luma[0][at]) - int(luma[1][at])));
    }
  }
  for (int32_t row = 0; row < (kHeight + 1) / 2; ++row) {
    // The last, odd column's pair is checked against the matrix below: libswscale blends it with what
    // lies beyond the picture.
    for (int32_t x = 0; x < kWidth - 1; ++x) {
      // The edge's own column pair is where bilinear siting and the block mean may differ.
      if (std::abs(x / 2 - kWidth / 4) <= 1) continue;
      const size_t at = size_t(row) * kStride + x;
      chromaOff = std::max(chromaOff, std::abs(int(chroma[0][at]) - int(chroma[1][at])));
    }
  }
  EXPECT_LE(lumaOff, 1);
  EXPECT_LE(chromaOff, 2);
  // Column 640 of rows 0 and 1 is (B 254, G 0, R 220): Cb 217, Cr 214.
  EXPECT_NEAR(chroma[0][kWidth - 1], 217, 1);
  EXPECT_NEAR(chroma[0][kWidth], 214, 1);
}

TEST(Nv12Converter, ScalesARegionToTheSamePlaceOfTheSmallerPicture) {
  constexpr int32_t kWidth = 1600, kHeight = 1200;
  auto in = filled(kWidth, kHeight, {0, 0, 0});
  // A white block at (800, 600)–(1200, 900) lands at (400, 300)–(600, 450) of the half-size picture.
  for (int32_t row = 600; row < 900; ++row) {
    for (int32_t x = 800; x < 1200; ++x) {
      uint8_t* p = &in[(size_t(row) * kWidth + x) * 4];
      p[0] = p[1] = p[2] = 255;
    }
  }
  for (int threads : {1, 3}) {
    auto converter = Nv12Converter::create(kWidth, kHeight, kWidth / 2, kHeight / 2, threads);
    ASSERT_NE(converter, nullptr);
    Nv12Picture out(kWidth / 2, kHeight / 2);
    ASSERT_TRUE(converter->convert({in.data(), kWidth * 4, kWidth, kHeight}, out.view()));
    EXPECT_EQ(out.y(500, 375), 235) << threads;
    EXPECT_EQ(out.y(402, 302), 235) << threads;
    EXPECT_EQ(out.y(597, 447), 235) << threads;
    EXPECT_EQ(out.y(397, 375), 16) << threads;
    EXPECT_EQ(out.y(500, 453), 16) << threads;
    EXPECT_EQ(out.y(10, 10), 16) << threads;
  }
}

TEST(Nv12Converter, RefusesSizesItCannotProduceAndViewsOfAnotherSize) {
  EXPECT_EQ(Nv12Converter::create(640, 480, 640, 0), nullptr);
  EXPECT_EQ(Nv12Converter::create(0, 480, 640, 480), nullptr);
  EXPECT_EQ(Nv12Converter::create(640, 480, 640, 480, 0), nullptr);
  EXPECT_EQ(Nv12Converter::create(40000, 480, 640, 480), nullptr);

  auto converter = Nv12Converter::create(64, 48, 32, 24, 1);
  ASSERT_NE(converter, nullptr);
  auto in = filled(64, 48, {0, 0, 0});
  Nv12Picture wrongSize(30, 24);
  EXPECT_FALSE(converter->convert({in.data(), 64 * 4, 64, 48}, wrongSize.view()));
  Nv12Picture out(32, 24);
  EXPECT_FALSE(converter->convert({in.data(), 64 * 4, 60, 48}, out.view()));
  EXPECT_FALSE(converter->convert({in.data(), 32, 64, 48}, out.view()));
  EXPECT_TRUE(converter->convert({in.data(), 64 * 4, 64, 48}, out.view()));
}

}  // namespace
}  // namespace tavlo
