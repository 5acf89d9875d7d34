// The send path's pure arithmetic: spread, parity group counts, LTR wire tokens, the duplication
// window with its bootstrap and rescue copies, the interleaved parity order, the bitrate floor and the
// wire cap.
#include "hostcore/session/frame_send_math.hpp"

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(FrameSendMath, SpreadGrowsWithTheFrameAndShrinksWithTheLink) {
  struct Row { int64_t n; bool key; bool lowLag; int64_t bytes; double rate; uint64_t spread; const char* why; };
  const Row rows[] = {
      {25, true, false, 30'000, 1e6, 0, "25 chunks leave back to back"},
      {26, false, false, 34'000, 1e6, 6'000, "26-chunk P-frame: base spread"},
      {230, true, true, 300'000, 8e6, 6'000, "keyframe on a low-lag link: base spread"},
      {230, true, false, 300'000, 8e6, 250'000, "390 ms at the receive rate, clamped"},
      {30, true, false, 39'000, 1e9, 20'000, "a fast link still spreads a keyframe 20 ms"},
      {30, true, false, 39'000, 0, 250'000, "an unknown rate counts as 300 kbit/s"},
  };
  for (const Row& r : rows) EXPECT_EQ(chunkSpreadUs(r.n, r.key, r.lowLag, r.bytes, r.rate), r.spread) << r.why;
  EXPECT_TRUE(lowLagLink(true, true, 90'000));
  EXPECT_FALSE(lowLagLink(false, true, 50'000)) << "relayed, 50 ms of feedback lag";
  EXPECT_TRUE(lowLagLink(false, false, 50'000));
  EXPECT_FALSE(lowLagLink(false, false, 60'001));
  EXPECT_EQ(paritySpreadUs(250'000), 83'333u);
  EXPECT_EQ(paritySpreadUs(6'000), 4'000u);
}

TEST(FrameSendMath, ParityGroupCountsFollowLossKindAndLink) {
  const SessionTunables t;  // threshold 191 chunks, ramp 92, 8 %, proportional gain 3, floor 0.1
  struct Row { FrameFlags flags; int64_t n; bool hot; bool wan; double loss; bool clogged; int groups; const char* why; };
  const FrameFlags none, idr = FrameFlags::idr;
  const Row rows[] = {
      {none, 1, false, false, 0.10, false, 0, "single chunk, clean enough"},
      {none, 1, false, false, 0.16, false, 1, "single chunk over 15 % loss"},
      {idr, 10, false, false, 0, true, 2, "clogged keyframe"},
      {none, 10, false, false, 0, true, 0, "clogged P-frame"},
      {none, 50, false, false, 0.05, false, 6, "proportional, capped at 12 % on a short RTT"},
      {idr, 50, false, false, 0.05, false, 17, "proportional keyframe floor 0.33"},
      {none, 100, false, false, 0, false, 0, "clean P-frame under the threshold"},
      {idr, 100, false, false, 0, false, 2, "clean keyframe"},
      {idr, 16, false, true, 0, false, 2, "clean small keyframe on WAN"},
      {idr, 100, false, true, 0, false, 13, "clean keyframe on WAN: an eighth"},
      {none, 10, true, false, 0, false, 2, "hot P-frame"},
      {none, 10, false, true, 0, false, 1, "clean P-frame on WAN"},
      {none, 283, false, false, 0, false, 11, "P-frame past the threshold ramps at half"},
      {none, 0, false, false, 0.5, false, 0, "no chunks"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(fecGroupCount(FecInputs{r.flags, r.n, r.hot, r.wan, r.loss, r.clogged}, t), r.groups) << r.why;
  }
  FecInputs rampOff{none, 300, false, false, 0, false, false};
  EXPECT_EQ(fecGroupCount(rampOff, t), 0) << "tl.pFecRamp false";
  SessionTunables fixed;
  fixed.fecPropEnabled = false;
  EXPECT_EQ(fecGroupCount(FecInputs{none, 40, false, false, 0.1}, fixed), 10) << "D = 4";
  EXPECT_EQ(fecGroupCount(FecInputs{none, 300, false, false, 1.0, false, true, false}, t), 255) << "never above 255";
}

TEST(FrameSendMath, LtrWireTokensRunFrom0To254AndWrap) {
  uint8_t next = 254;
  EXPECT_EQ(takeLtrWireToken(next), 254);
  EXPECT_EQ(takeLtrWireToken(next), 0) << "255 means no reference and is never a token";
  EXPECT_EQ(takeLtrWireToken(next), 1);
}

TEST(FrameSendMath, TheDuplicationWindowCopiesSmallFramesAndProbesEveryEighth) {
  AdaptationState a;
  const uint64_t now = 1'000'000'000'000ULL;
  a.dupUntilUs = now + 1;
  std::vector<DupVerdict> verdicts;
  for (uint32_t id = 0; id < 8; ++id) verdicts.push_back(duplicationVerdict(a, now, 6, id));
  EXPECT_EQ(std::count(verdicts.begin(), verdicts.end(), DupVerdict::duplicate), 7);
  EXPECT_EQ(verdicts[7], DupVerdict::probe);
  EXPECT_TRUE(a.probeFrameIds.contains(7));
  EXPECT_EQ(duplicationVerdict(a, now, 7, 9), DupVerdict::none) << "7 chunks are too many";
  EXPECT_EQ(duplicationVerdict(a, now + 1, 6, 9), DupVerdict::none) << "window over";
  for (uint32_t id = 100; id < 230; ++id) a.probeFrameIds.insert(id);
  a.dupFrameCounter = 7;
  EXPECT_EQ(duplicationVerdict(a, now, 1, 999), DupVerdict::probe);
  EXPECT_EQ(a.probeFrameIds.size(), 1u) << "a set of 129 or more is emptied first";

  EXPECT_TRUE(emergencyKeyframeCopy(true, false, DupVerdict::none, false, 80));
  EXPECT_FALSE(emergencyKeyframeCopy(true, false, DupVerdict::none, false, 81));
  EXPECT_TRUE(emergencyKeyframeCopy(false, true, DupVerdict::none, false, 40));
  EXPECT_FALSE(emergencyKeyframeCopy(false, true, DupVerdict::none, false, 41));
  EXPECT_FALSE(emergencyKeyframeCopy(true, true, DupVerdict::duplicate, false, 5)) << "already sent twice";
  EXPECT_FALSE(emergencyKeyframeCopy(true, false, DupVerdict::none, true, 5)) << "clogged";
  EXPECT_FALSE(emergencyKeyframeCopy(false, false, DupVerdict::none, false, 5));
}

TEST(FrameSendMath, InterleavedParityLeavesAfterTheLastChunkOfItsGroup) {
  // 10 chunks, 4 groups: last members 8, 9, 6, 7 → order 2, 3, 0, 1.
  auto order = interleavedParityOrder(4, 10, 4);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0].first, 2u);
  EXPECT_DOUBLE_EQ(order[0].second, 0.6);
  EXPECT_EQ(order[3].first, 1u);
  EXPECT_DOUBLE_EQ(order[3].second, 0.9);
  EXPECT_EQ(pacedOffsetUs(3, 10'000, 4), 7'500u);
}

TEST(FrameSendMath, BitrateFloorAndWireCap) {
  EXPECT_EQ(bitrateFloorBps(2560, 1600, 2.0), 1'762'918);
  EXPECT_EQ(bitrateFloorBps(1280, 720, 2.0), 800'000) << "396,656 raised";
  EXPECT_EQ(bitrateFloorBps(6016, 3384, 0.1), 2'500'000);
  EXPECT_EQ(bitrateFloorBps(1280, 720, 0.0), bitrateFloorBps(1280, 720, 0.1)) << "interval at least 0.1 s";
  EXPECT_EQ(wireCapBps(99), std::nullopt);
  EXPECT_EQ(wireCapBps(100), 100'000);
  EXPECT_EQ(wireCapBps(std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace vela
