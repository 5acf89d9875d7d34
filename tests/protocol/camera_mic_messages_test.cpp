#include <gtest/gtest.h>

#include "protocol/camera_mic_messages.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using namespace vela::wiretest;

TEST(CameraMicMessages, GoldenVectors) {
  const GoldenVector rows[] = {
      golden("microphone on", MicControl{true}, "01"),
      decodesAs("any non-zero byte switches on", "02", MicControl{true}),
      golden("camera off", CamControl{false}, "00"),
      golden("camera quality of level 3", CamQuality{640, 30, 220}, "80 02 1E DC 00 00 00"),
      golden("microphone quality", MicQuality{48}, "30 00 00 00"),
      golden("camera configuration", CamConfig{1280, 720, 30, {0x01, 0x02}}, "00 05 D0 02 1E 00 02 00 01 02"),
      decodesAs("a zero-length parameter blob", "00 05 D0 02 1E 00 00 00", CamConfig{1280, 720, 30, {}}),
  };
  for (const auto& row : rows) expectGolden(row);
}

TEST(CameraMicMessages, BadPayloads) {
  const BadPayload rows[] = {
      bad<MicControl>("empty", "", WireError::underflow()),
      bad<CamControl>("empty", "", WireError::underflow()),
      bad<CamConfig>("six bytes: no blob length", "00 05 D0 02 1E 00", WireError::underflow()),
      bad<CamConfig>("blob length 10 with 9 bytes", "00 05 D0 02 1E 00 0A 00 01 02 03 04 05 06 07 08 09",
                     WireError::underflow()),
      bad<CamQuality>("six bytes", "80 02 1E DC 00 00", WireError::underflow()),
  };
  for (const auto& row : rows) expectBad(row);
}

TEST(QualityLadders, LevelsAreClampedIntoTheLadder) {
  struct CamRow {
    int level;
    CamQuality quality;
  };
  const CamRow cameraRows[] = {
      {-1, {160, 10, 32}},  {0, {160, 10, 32}},   {1, {320, 15, 70}},     {2, {480, 24, 130}}, {3, {640, 30, 220}},
      {4, {960, 30, 400}},  {5, {1280, 30, 650}}, {6, {1920, 30, 1200}}, {9, {1920, 30, 1200}},
  };
  for (const auto& row : cameraRows) EXPECT_EQ(CamQuality::forLevel(row.level), row.quality) << row.level;

  const std::pair<int, uint32_t> micRows[] = {{-5, 16}, {0, 16}, {1, 24}, {2, 32}, {3, 48}, {4, 64}, {7, 64}};
  for (auto [level, kbps] : micRows) EXPECT_EQ(MicQuality::forLevel(level).bitrateKbps, kbps) << level;
}

}  // namespace
}  // namespace vela
