// The session's pure logic: tunables, clamps, path classification, the keyframe-request limit, the
// keyframe interval the encoder gets, and the "0 means never" time helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "hostcore/session/adaptation_state.hpp"
#include "hostcore/session/idr_request_limiter.hpp"
#include "hostcore/session/keyframe_policy.hpp"
#include "hostcore/session/keyframe_state.hpp"
#include "hostcore/session/path_classification.hpp"
#include "hostcore/session/session_clamps.hpp"
#include "hostcore/session/session_time.hpp"
#include "hostcore/session/session_tunables.hpp"
#include "platform/runtime/json_store.hpp"

namespace vela {
namespace {

TEST(SessionTunables, AValueOfAnotherTypeOrOutOfRangeGivesTheDefault) {
  tavlo::Settings settings;
  settings.set("tl.fecPropGain", "4.0");             // a string
  settings.set("tl.lossShrink", 0);                  // a number, not a Bool
  settings.set("tl.kfFecThreshChunks", 12.5);        // a double never reads as an integer
  settings.set("tl.kfAmpleMinMbps", 1e13);           // × 1,000,000 leaves the 64-bit range
  settings.set("tl.kfOveruseSuppressFrames", 5'000'000'000);  // beyond UInt32
  settings.set("tl.encBudgetPxFps", 50'000'000);     // below the minimum budget
  SessionTunables defaults;
  SessionTunables t = SessionTunables::read(settings);
  EXPECT_EQ(t.fecPropGain, defaults.fecPropGain);
  EXPECT_EQ(t.lossShrinkEnabled, defaults.lossShrinkEnabled);
  EXPECT_EQ(t.kfFecThresh, defaults.kfFecThresh);
  EXPECT_EQ(t.kfAmpleMinBps, defaults.kfAmpleMinBps);
  EXPECT_EQ(t.kfOveruseSuppressFrames, defaults.kfOveruseSuppressFrames);
  EXPECT_EQ(t.encBudgetPxFps, 460'000'000);

  settings.set("tl.fecPropGain", 4);  // an integer reads as a double
  settings.set("tl.lossShrink", false);
  settings.set("tl.kfAmpleMinMbps", 2.5);
  settings.set("tl.kfFecMaxPct", 12);
  settings.set("tl.kfOveruseSuppressFrames", 4'294'967'295);
  settings.set("tl.encBudgetPxFps", 200'000'000);
  t = SessionTunables::read(settings);
  EXPECT_EQ(t.fecPropGain, 4.0);
  EXPECT_FALSE(t.lossShrinkEnabled);
  EXPECT_EQ(t.kfAmpleMinBps, 2'500'000);
  EXPECT_DOUBLE_EQ(t.kfFecMax, 0.12);
  EXPECT_EQ(t.kfOveruseSuppressFrames, 4'294'967'295u);
  EXPECT_EQ(t.encBudgetPxFps, 200'000'000);
}

TEST(SessionClamps, OwnerAndClientValuesStayInBounds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(clampedScale(0.5), 1.0);
  EXPECT_EQ(clampedScale(3.0), 2.0);
  EXPECT_EQ(clampedScale(nan), 1.0);
  EXPECT_EQ(clampedKeyframeSec(0.05), 0.1);
  EXPECT_EQ(clampedKeyframeSec(25), 10.0);
  EXPECT_EQ(clampedTargetFps(0), 24) << "0 would drop every frame";
  EXPECT_EQ(clampedTargetFps(120), 60);
  EXPECT_EQ(clampedTargetFps(30), 30);
  struct Row { int64_t windowPx; int64_t even; int64_t bounded; };
  for (Row row : {Row{0, 2, 2}, Row{1, 2, 2}, Row{1281, 1280, 1281}, Row{8193, 8192, 8192}, Row{65535, 8192, 8192}}) {
    EXPECT_EQ(evenClientSide(row.windowPx), row.even) << row.windowPx;
    EXPECT_EQ(boundedClientSide(row.windowPx), row.bounded) << row.windowPx;
  }
}

TEST(PathClassification, PrivateHostsAreLanRelayIsNamedAndTheRestIsNat) {
  struct Row { const char* description; const char* kind; };
  const Row rows[] = {
      {"192.168.1.5:47700", "LAN"},     {"172.15.0.1:1", "NAT"},   {"172.31.0.1:1", "LAN"},
      {"[fe80::1]:47700", "LAN"},       {"Relay/abc", "przekaźnik"}, {"RELAY/x", "przekaźnik"},
      {":47700", "—"},                  {"100.64.0.1:47700", "NAT"}, {"10.0.0.2:1", "LAN"},
      {"127.0.0.1:5", "LAN"},           {"[::1]:5", "LAN"},        {"169.254.3.4:5", "LAN"},
      {"[fd12::3]:5", "LAN"},           {"[2001:db8::1]:5", "NAT"}, {"172.16x.0.1:1", "NAT"},
      {"example.org/relay/1:5", "NAT"},
  };
  for (const Row& row : rows) EXPECT_EQ(classifyPath(row.description), row.kind) << row.description;
  EXPECT_EQ(clientPathLine({ClientPathMessage::Iface::cellular, true, true}),
            "📡 ścieżka klienta: komórkowa (droga) (OSZCZĘDZANIE DANYCH!)");
}

TEST(IdrRequestLimiter, TheGapIsTheTimeAKeyframeTakesWithinItsBounds) {
  struct Row { const char* why; int64_t bytes; double rate; bool clogged; bool relief; uint64_t gap; };
  const Row rows[] = {
      {"clean link: a second", 20'000, 4'000'000, false, false, 1'000'000},
      {"relief: a third of one", 20'000, 4'000'000, false, true, 333'000},
      {"a slow link: 1.5 × the keyframe's time", 100'000, 400'000, false, false, 3'000'000},
      {"clogged: twice the keyframe's time, at least 0.6 s", 20'000, 4'000'000, true, false, 600'000},
      {"clogged and slow: capped at 5 s", 100'000, 100'000, true, false, 5'000'000},
      {"small keyframes and unknown rates count as 8000 B at 50 kbit/s", 0, 0, false, false, 1'920'000},
      {"a NaN rate counts as the minimum", 0, std::nan(""), false, false, 1'920'000},
  };
  for (const Row& row : rows) EXPECT_EQ(idrMinGapUs(row.bytes, row.rate, row.clogged, row.relief), row.gap) << row.why;
}

TEST(IdrRequestLimiter, TheFirstRequestOfAFreshClockIsNotTakenForARepeat) {
  KeyframeState keyframes;
  AdaptationState adaptation;
  // A clock that started a moment ago: "now − 0" is below the gap, but 0 means no keyframe was forced yet.
  EXPECT_EQ(judgeIdrRequest(keyframes, adaptation, 1000, false), IdrVerdict::forceKeyframe);
  EXPECT_EQ(judgeIdrRequest(keyframes, adaptation, 2000, false), IdrVerdict::skipped);
  EXPECT_EQ(keyframes.idrReqWindow, 2);
  EXPECT_EQ(keyframes.idrSkipped, 1);
}

TEST(KeyframePolicy, ReliefShortensAndAWanFloorLengthensTheEncodersInterval) {
  KeyframeState keyframes;
  setKeyframePolicyFields(keyframes, true, 5.0);
  AdaptationState adaptation;
  EXPECT_DOUBLE_EQ(encoderKeyframeIntervalSec(keyframes, adaptation), 2.75);
  adaptation.lossReliefActive = true;
  EXPECT_DOUBLE_EQ(encoderKeyframeIntervalSec(keyframes, adaptation), 0.33);
  adaptation.lossReliefActive = false;
  adaptation.wanLink = true;
  adaptation.recvRateEwma = 1'000'000;
  keyframes.lastIdrBytes = 100'000;
  EXPECT_DOUBLE_EQ(encoderKeyframeIntervalSec(keyframes, adaptation), 4.0) << "6.4 s capped at 4";
  keyframes.lastIdrBytes = 0;
  EXPECT_DOUBLE_EQ(encoderKeyframeIntervalSec(keyframes, adaptation), 2.75) << "floor 0.512 s loses";

  setKeyframePolicyFields(keyframes, true, 0.05);
  EXPECT_EQ(keyframes.kfFixedSec, 0.1);
  EXPECT_EQ(keyframes.kfController.growCeilSec(), 0.5);
  EXPECT_LE(keyframes.kfController.intervalSec(), 0.5);
  setKeyframePolicyFields(keyframes, false, 7.0);
  EXPECT_EQ(keyframeIntervalInForce(keyframes), 7.0);
}

TEST(SessionTime, AStampOfZeroIsNeverWhateverTheClockReads) {
  EXPECT_EQ(ageUs(5'000, 0), std::nullopt);
  EXPECT_EQ(ageUs(5'000, 1'000), 4'000u);
  EXPECT_EQ(ageUs(1'000, 5'000), 0u) << "a stamp ahead of the clock is not a wrapped age";
  EXPECT_FALSE(isWithin(10, 0, 60'000'000)) << "a fresh clock has seen no recent event";
  EXPECT_TRUE(isWithin(10'000, 5'000, 60'000'000));
  EXPECT_FALSE(isBefore(10, 0, 27'000'000)) << "a loss window never opened has not just closed";
  EXPECT_TRUE(isBefore(10'000, 5'000, 27'000'000));
  EXPECT_FALSE(isBefore(40'000'000, 5'000, 27'000'000));
}

}  // namespace
}  // namespace vela
