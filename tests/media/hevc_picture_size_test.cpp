#include <gtest/gtest.h>

#include "media/hevc_picture_size.hpp"
#include "tests/testkit/hex.hpp"

namespace vela {
namespace {

using tavlo::Bytes;
using tavlo::testkit::fromHex;

// SPS units written by x265 3.5 through Debian's ffmpeg 5.1, one picture each:
//   ffmpeg -f lavfi -i testsrc2=size=WxH:rate=30 -frames:v 1 -pix_fmt FMT -c:v libx265 -preset ultrafast
//     -x265-params "info=0:log-level=error[:temporal-layers=1:bframes=3]" -f hevc out.hevc
// ffprobe's width/height/coded_width/coded_height confirmed each expected size.
constexpr const char* kSps1080p =
    "42 01 01 01 60 00 00 03 00 90 00 00 03 00 00 03 00 78 A0 03 C0 80 11 07 CB 96 56 54 A4 C2 F0 16 80 80 00 "
    "00 03 00 80 00 00 0F 04";
constexpr const char* kSps444 =
    "42 01 01 04 08 00 00 03 00 9E 08 00 00 03 00 00 1E 90 07 10 20 E3 63 F2 CA CA 94 98 5E 02 D0 10 00 00 03 "
    "00 10 00 00 03 01 E0 80";
constexpr const char* kSps422 =
    "42 01 01 04 08 00 00 03 00 9D 08 00 00 03 00 00 3C B0 1A 20 61 C9 3E 59 59 52 93 0B C0 5A 02 00 00 03 00 "
    "02 00 00 03 00 3C 10";
constexpr const char* kSpsSubLayers =
    "42 01 02 01 60 00 00 03 00 90 00 00 03 00 00 03 00 3C 00 00 A0 0A 08 0C 1F 3E 59 59 4A CA 94 98 5E 02 D0 "
    "10 00 00 03 00 10 00 00 03 01 E0 80";
constexpr const char* kSpsMonochrome =
    "42 01 01 04 08 00 00 03 00 9F C8 00 00 03 00 00 1E C0 82 0C 72 C6 E5 95 95 29 30 BC 05 B0 20 00 00 03 00 "
    "20 00 00 03 03 C1";

TEST(HEVCPictureSize, ComesFromTheCodedSizeLessTheConformanceWindow) {
  struct Row { const char* why; const char* sps; HEVCPictureSize size; };
  const Row rows[] = {
      {"4:2:0, coded 1920x1088, window in chroma rows", kSps1080p, {1920, 1080}},
      {"4:4:4, coded 112x64, window in luma samples", kSps444, {100, 50}},
      {"4:2:2, coded 208x96, window halves only columns", kSps422, {202, 90}},
      {"two temporal sub-layers: longer profile_tier_level", kSpsSubLayers, {320, 180}},
      {"monochrome, coded 64x48", kSpsMonochrome, {60, 36}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(HEVCPictureSize::fromSps(fromHex(row.sps)), row.size) << row.why;
  }
}

TEST(HEVCPictureSize, RefusesUnitsThatAreNoReadableSps) {
  Bytes sps = fromHex(kSps1080p);
  Bytes vpsHeader = sps;
  vpsHeader[0] = 0x40;
  Bytes forbiddenBit = sps;
  forbiddenBit[0] |= 0x80;
  Bytes cutInPtl(sps.begin(), sps.begin() + 12);
  Bytes cutInSize(sps.begin(), sps.begin() + 20);
  // Zero width: profile_tier_level ends with byte 17 (three emulation-prevention bytes inside), then
  // sps id ue(0) = 1, chroma ue(1) = 010, width ue(0) = 1.
  Bytes zeroWidth(sps.begin(), sps.begin() + 18);
  zeroWidth.push_back(0b1010'1'010);
  zeroWidth.push_back(0xFF);
  struct Row { const char* why; Bytes nal; };
  const Row rows[] = {
      {"a VPS header", vpsHeader},
      {"forbidden bit set", forbiddenBit},
      {"cut inside profile_tier_level", cutInPtl},
      {"cut inside the size fields", cutInSize},
      {"zero width", zeroWidth},
      {"header only", fromHex("42 01")},
      {"empty", {}},
  };
  for (const Row& row : rows) EXPECT_EQ(HEVCPictureSize::fromSps(row.nal), std::nullopt) << row.why;
}

}  // namespace
}  // namespace vela
