// The display, video, camera and microphone control records.
#include <gtest/gtest.h>

#include "protocol/camera_mic_messages.hpp"
#include "protocol/display_messages.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using namespace vela::wiretest;

TEST(DisplayMessages, GoldenVectors) {
  const GoldenVector rows[] = {
      golden("resize request", ResizeRequest{7, 1366, 1024, 200, 60}, "07 00 00 00 56 05 00 04 C8 00 3C 00"),
      golden("set scale", SetScale{2, 1500}, "02 DC 05"),
      golden("video config with empty parameter sets: 16 bytes ending 00 00",
             VideoConfig{1, 1920, 1080, 960, 540, VideoCodec::hevc8, 8, 60, {}},
             "01 00 80 07 38 04 C0 03 1C 02 01 08 3C 00 00 00"),
      golden("video config with parameter sets", VideoConfig{2, 16, 16, 8, 8, VideoCodec::hevc10, 10, 30, {0xA1, 0xB2}},
             "02 00 10 00 10 00 08 00 08 00 02 0A 1E 00 02 00 A1 B2"),
      golden("keyframe request after loss", IdrRequest{2, 100, IdrRequest::Reason::loss}, "02 00 64 00 00 00 01"),
      decodesAs("reason 3 is resume", "02 00 64 00 00 00 03", IdrRequest{2, 100, IdrRequest::Reason::resume}),
      golden("ltr ack", LtrAck{1, 2, 3}, "01 00 02 03 00 00 00"),
      golden("camera quality has the layout of an ltr ack", CamQuality{1, 2, 3}, "01 00 02 03 00 00 00"),
      golden("transition hint", TransitionHintMessage{1200}, "B0 04"),
      golden("stream buffer", StreamBuffer{300}, "2C 01"),
  };
  for (const auto& row : rows) expectGolden(row);
}

TEST(DisplayMessages, BadPayloads) {
  const BadPayload rows[] = {
      bad<ResizeRequest>("11 bytes", "07 00 00 00 56 05 00 04 C8 00 3C", WireError::underflow()),
      bad<VideoConfig>("codec 3", "01 00 80 07 38 04 C0 03 1C 02 03 08 3C 00 00 00", WireError::malformed("codec 3")),
      bad<VideoConfig>("parameter sets longer than what follows", "01 00 80 07 38 04 C0 03 1C 02 01 08 3C 00 02 00 A1",
                       WireError::underflow()),
      bad<IdrRequest>("reason 4", "02 00 64 00 00 00 04", WireError::malformed("idr reason 4")),
      bad<LtrAck>("six bytes", "01 00 02 03 00 00", WireError::underflow()),
      bad<StreamBuffer>("one byte", "2C", WireError::underflow()),
  };
  for (const auto& row : rows) expectBad(row);
}

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
  struct CamRow { int level; CamQuality quality; };
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
