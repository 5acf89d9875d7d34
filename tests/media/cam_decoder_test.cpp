#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "media/cam_decoder.hpp"
#include "tests/media/cam_fixture.hpp"
#include "tests/testkit/hex.hpp"

namespace vela {
namespace {

using testing::CamFixture;
using testing::camFixture;

Bytes fixtureBlob() { return HEVCParameterSets::extract(camFixture().stream)->serialize(); }

std::unique_ptr<CamDecoder> fixtureDecoder(int width = 0, int height = 0, int threads = 1) {
  // One slice thread unless asked: threads only slow a tiny stream down.
  return CamDecoder::create(width, height, fixtureBlob(), threads);
}

void expectPictureOfFixtureSize(const std::optional<PixelBuffer>& picture, const std::string& why) {
  ASSERT_TRUE(picture) << why;
  EXPECT_EQ(picture->width, CamFixture::kWidth) << why;
  EXPECT_EQ(picture->height, CamFixture::kHeight) << why;
  EXPECT_GE(picture->bytesPerRow, size_t{CamFixture::kWidth} * 4) << why;
  EXPECT_EQ(picture->bgra.size(), picture->bytesPerRow * CamFixture::kHeight) << why;
}

TEST(CamDecoder, GivesOneBGRAPictureOfTheSpsSizePerAccessUnit) {
  const auto& units = camFixture().accessUnits;
  ASSERT_EQ(units.size(), 8u);
  // The size passed in is not used: the session passes 0 x 0, and a wrong size changes nothing. The
  // last row lets libavcodec pick its slice threads, as the session does.
  for (auto [width, height, threads] : {std::tuple{0, 0, 1}, std::tuple{640, 480, 1}, std::tuple{0, 0, 0}}) {
    auto decoder = fixtureDecoder(width, height, threads);
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->pictureSize(), (HEVCPictureSize{CamFixture::kWidth, CamFixture::kHeight}));
    for (size_t i = 0; i < units.size(); ++i) {
      expectPictureOfFixtureSize(decoder->decode(units[i], i * 33'333), "unit " + std::to_string(i));
    }
  }
}

TEST(CamDecoder, PicturesLookLikeTheSource) {
  // testsrc2 draws opaque, saturated colour areas: the picture is neither blank nor transparent.
  auto decoder = fixtureDecoder();
  auto picture = decoder->decode(camFixture().accessUnits[0], 0);
  ASSERT_TRUE(picture);
  size_t bright = 0;
  for (int y = 0; y < picture->height; ++y) {
    const uint8_t* row = picture->bgra.data() + static_cast<size_t>(y) * picture->bytesPerRow;
    for (int x = 0; x < picture->width; ++x) {
      ASSERT_EQ(row[x * 4 + 3], 0xFF) << "alpha at " << x << "," << y;
      if (row[x * 4] > 200 || row[x * 4 + 1] > 200 || row[x * 4 + 2] > 200) ++bright;
    }
  }
  EXPECT_GT(bright, size_t{CamFixture::kWidth} * CamFixture::kHeight / 10);
}

TEST(CamDecoder, BadAccessUnitsGiveNoPictureAndThoseThatBreakTheStreamWithholdItUntilAKeyframe) {
  const auto& units = camFixture().accessUnits;
  Bytes cutShort(units[1].begin(), units[1].begin() + static_cast<std::ptrdiff_t>(units[1].size() / 2));
  Bytes garbage(400);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 37 + 11);
  Bytes garbageFramed = {0, 0, 1, 0x90};
  garbageFramed.insert(garbageFramed.end(), garbage.begin(), garbage.end());
  garbageFramed.resize(4 + 0x190);
  Bytes parameterSetsOnly;
  const auto sets = HEVCParameterSets::extract(camFixture().stream);
  for (const Bytes& set : sets->sets) {
    parameterSetsOnly.insert(parameterSetsOnly.end(), {0, 0, 0, static_cast<uint8_t>(set.size())});
    parameterSetsOnly.insert(parameterSetsOnly.end(), set.begin(), set.end());
  }
  // A unit that carried a picture and cannot be decoded breaks the pictures after it: nothing more is
  // shown until the next keyframe. One that carried no picture breaks nothing.
  struct Row { const char* why; Bytes unit; bool breaksPictures; };
  const Row rows[] = {
      {"empty: would end the stream inside libavcodec", {}, true},
      {"a length running past the end", cutShort, true},
      {"random bytes, length-framed", garbageFramed, true},
      {"random bytes, not framed", garbage, true},
      {"parameter sets without a picture", parameterSetsOnly, false},
      {"a zero length", tavlo::testkit::fromHex("00 00 00 00 00 00 00 02 26 01"), true},
  };
  for (const Row& row : rows) {
    auto decoder = fixtureDecoder();
    ASSERT_TRUE(decoder);
    expectPictureOfFixtureSize(decoder->decode(units[0], 0), "keyframe");
    expectPictureOfFixtureSize(decoder->decode(units[1], 1), "a P picture");
    EXPECT_FALSE(decoder->decode(row.unit, 2)) << row.why;
    if (row.breaksPictures) {
      EXPECT_FALSE(decoder->decode(units[2], 3)) << "after " << row.why << ": its reference may be what was lost";
      expectPictureOfFixtureSize(decoder->decode(units[0], 4), std::string("the next keyframe after ") + row.why);
      expectPictureOfFixtureSize(decoder->decode(units[1], 5), std::string("and the pictures after it"));
    } else {
      expectPictureOfFixtureSize(decoder->decode(units[2], 3), std::string("after ") + row.why);
    }
  }
}

// The owner knows what the decoder cannot: a unit lost on the way (a camera frame whose chunks did not
// all come). libavcodec would decode the pictures after it against the missing reference, with grey
// patches; none is shown until the next keyframe.
TEST(CamDecoder, AfterALostUnitNoPictureComesUntilTheNextKeyframe) {
  const auto& units = camFixture().accessUnits;
  auto decoder = fixtureDecoder();
  ASSERT_TRUE(decoder);
  expectPictureOfFixtureSize(decoder->decode(units[0], 0), "keyframe");
  expectPictureOfFixtureSize(decoder->decode(units[1], 1), "a P picture");
  decoder->unitLost();  // units[2] never came
  for (size_t i = 3; i < units.size(); ++i) EXPECT_FALSE(decoder->decode(units[i], i)) << "unit " << i;
  EXPECT_TRUE(decoder->waitingForKeyframe());
  expectPictureOfFixtureSize(decoder->decode(units[0], 8), "the next keyframe");
  EXPECT_FALSE(decoder->waitingForKeyframe());
  for (size_t i = 1; i < units.size(); ++i) expectPictureOfFixtureSize(decoder->decode(units[i], 8 + i), "after it");
}

TEST(CamDecoder, PicturesBeforeTheFirstKeyframeAreNotDecoded) {
  const auto& units = camFixture().accessUnits;
  auto decoder = fixtureDecoder();
  ASSERT_TRUE(decoder);
  EXPECT_FALSE(decoder->decode(units[1], 0)) << "its reference was never seen";
  EXPECT_FALSE(decoder->decode(units[2], 0));
  expectPictureOfFixtureSize(decoder->decode(units[0], 0), "the keyframe");
  expectPictureOfFixtureSize(decoder->decode(units[1], 0), "a P picture after it");
}

TEST(CamDecoder, TruncatedOrForeignBlobsGiveNoDecoder) {
  const Bytes blob = fixtureBlob();
  Bytes foreign(64);
  for (size_t i = 0; i < foreign.size(); ++i) foreign[i] = static_cast<uint8_t>(i * 13 + 3);
  foreign[0] = 3;  // three sets, lengths of noise
  Bytes framedNoise = {3, 4, 0, 0, 0, 1, 2, 3, 4, 4, 0, 0, 0, 5, 6, 7, 8, 4, 0, 0, 0, 9, 10, 11, 12};
  struct Row { const char* why; Bytes blob; };
  const Row rows[] = {
      {"empty", {}},
      {"no sets", {0}},
      {"cut in the last set", Bytes(blob.begin(), blob.end() - 1)},
      {"cut after the first set", Bytes(blob.begin(), blob.begin() + 5 + blob[1])},
      {"noise", foreign},
      {"well-framed sets of noise", framedNoise},
  };
  for (const Row& row : rows) EXPECT_FALSE(CamDecoder::create(0, 0, row.blob)) << row.why;
  EXPECT_FALSE(CamDecoder::create(0, 0, blob, -1)) << "a negative thread count";
}

}  // namespace
}  // namespace vela
