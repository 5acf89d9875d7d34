// The audio send path's rules without a session: silence, down-mix and decimation, modes, hold, peak
// and hi-fi.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hostcore/session/audio_mode.hpp"
#include "hostcore/session/audio_slice.hpp"

namespace vela {
namespace {

tavlo::Bytes samples(const std::vector<int16_t>& values) {
  tavlo::Bytes bytes(values.size() * 2);
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

std::vector<int16_t> values(const tavlo::Bytes& bytes) {
  std::vector<int16_t> out(bytes.size() / 2);
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

TEST(AudioSlice, SilenceIsEverySampleBelowFortyInMagnitude) {
  struct Row {
    std::vector<int16_t> samples;
    bool silent;
    const char* why;
  };
  const std::vector<Row> rows{
      {{}, true, "an empty slice"},
      {{39, -39, 0, 12}, true, "all within -39…39"},
      {{0, 0, -40, 0}, false, "one sample of -40"},
      {{40}, false, "one sample of 40"},
      {{-32768}, false, "the magnitude of -32,768 does not overflow to a small number"},
  };
  for (const auto& row : rows) EXPECT_EQ(isSilentAudio(samples(row.samples)), row.silent) << row.why;
  tavlo::Bytes odd = samples({1, 2});
  odd.push_back(0x7F);  // a trailing odd byte is no sample
  EXPECT_TRUE(isSilentAudio(odd));
}

TEST(AudioSlice, DegradeMixesToMonoAndDecimatesPerMode) {
  const tavlo::Bytes slice(AudioSlice::bytes, 0);
  EXPECT_EQ(degradeAudio(slice, 1).size(), 480u);
  EXPECT_EQ(degradeAudio(slice, 2).size(), 240u);
  EXPECT_EQ(degradeAudio(slice, 3).size(), 160u);
  EXPECT_EQ(degradeAudio(slice, 7).size(), 160u);  // beyond mode 3 decimates like mode 3

  EXPECT_EQ(values(degradeAudio(samples({100, 300, -101, 0}), 1)), (std::vector<int16_t>{200, -50}));
  // Mode 2: the two frames' mono values 200 and -50 are averaged, truncating toward zero.
  EXPECT_EQ(values(degradeAudio(samples({100, 300, -101, 0}), 2)), (std::vector<int16_t>{75}));
  EXPECT_EQ(values(degradeAudio(samples({-1, -2, 0, 0, 0, 0}), 3)), (std::vector<int16_t>{0}));
  // Full-scale values stay in range; a last group that is not whole is dropped, as is a ragged byte.
  tavlo::Bytes loud = samples({32767, 32767, -32768, -32768, 5, 5});
  loud.push_back(1);
  EXPECT_EQ(values(degradeAudio(loud, 2)), (std::vector<int16_t>{0}));  // (32767 - 32768) / 2 truncates to 0
  EXPECT_EQ(values(degradeAudio(loud, 1)), (std::vector<int16_t>{32767, -32768, 5}));
}

TEST(AudioSlice, MonoToStereoIsUndoneByTheMonoMix) {
  const tavlo::Bytes mono = samples({-32768, -7, 0, 9, 32767});
  EXPECT_EQ(degradeAudio(monoToStereo(mono), 1), mono);
}

TEST(AudioMode, LevelPicksTheMode) {
  struct Row {
    int64_t level;
    bool wan;
    int64_t mode;
  };
  for (const auto& row : std::vector<Row>{{2'500'000, false, 0},
                                          {2'499'999, false, 1},
                                          {1'500'000, false, 1},
                                          {1'400'000, false, 2},
                                          {800'000, false, 2},
                                          {799'999, false, 3},
                                          {1, true, 3},
                                          {0, false, 0},
                                          {0, true, 2}}) {
    EXPECT_EQ(audioModeForLevel(row.level, row.wan), row.mode) << row.level << " wan " << row.wan;
  }
}

TEST(AudioMode, PeakSinksAtMostOneSecondsWorthAndNeverBelowTheReceiveFloor) {
  const uint64_t now = 1'000'000'000'000;
  EXPECT_DOUBLE_EQ(decayedAudioPeak(1'000'000, 0, now, now - 500'000), 1'000'000 - 16'500);
  EXPECT_DOUBLE_EQ(decayedAudioPeak(1'000'000, 0, now, 0), 1'000'000 - 33'000);  // "never" counts as 1 s
  EXPECT_DOUBLE_EQ(decayedAudioPeak(0, 2'000'000, now, now), 1'600'000);
  EXPECT_DOUBLE_EQ(decayedAudioPeak(0, 50'000'000, now, now), 12'000'000);
}

TEST(AudioMode, HiFiOpusOnlyFromItsEntryLevelAndKeptDownToItsKeepLevel) {
  bool active = false;
  EXPECT_EQ(opusSettingFor(0, 3'200'000, true, active).bitrate, 128'000);  // never saw 3.5 Mbit/s
  EXPECT_EQ(opusSettingFor(0, 3'500'000, true, active).bitrate, 256'000);
  EXPECT_EQ(opusSettingFor(0, 3'200'000, true, active).bitrate, 256'000);  // kept
  EXPECT_EQ(opusSettingFor(0, 2'999'999, true, active).bitrate, 128'000);
  EXPECT_FALSE(active);
  EXPECT_EQ(opusSettingFor(0, 9'000'000, false, active).bitrate, 128'000);  // hi-fi switched off
  active = true;
  const auto mono = opusSettingFor(2, 9'000'000, true, active);
  EXPECT_EQ(mono.channels, 1);
  EXPECT_EQ(mono.bitrate, 64'000);
  EXPECT_FALSE(active);
}

}  // namespace
}  // namespace vela
