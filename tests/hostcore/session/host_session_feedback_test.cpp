// Feedback-driven adaptation on the real controllers: delay overuse and radio tolerance, the decode
// frame-rate cap, loss relief, the cascade's stages and soft steps, the encoder's quantiser ceiling and
// bitrate, and dynamic QP.
#include <gtest/gtest.h>

#include "hostcore/session/feedback_cascade.hpp"
#include "hostcore/session/loss_relief.hpp"
#include "tests/hostcore/session/feedback_rig.hpp"

namespace vela {
namespace {

using testkit::FeedbackRig;
using Status = FrameFeedback::Status;

TEST(HostSessionFeedback, NothingHappensBeforeTheBitrateControllerExists) {
  FeedbackRig rig;
  rig.probe([](SessionState& s) { s.adaptation.bitrateController.reset(); });
  rig.feedClean();
  EXPECT_EQ(rig.state([](SessionState& s) { return s.adaptation.feedbackCount; }), 0);
}

TEST(HostSessionFeedback, OveruseRightAfterAKeyframeIsNormalForTheControllerButStillCounts) {
  FeedbackRig rig;
  rig.probe([](SessionState& s) {
    s.keyframes.lastIdrFrameId = 998;  // the next feedback is for frame 1000, two after it
    s.adaptation.rxEwmaSlow = 8'000'000;
  });
  auto delayBps = [&] { return rig.state([](SessionState& s) { return s.adaptation.bitrateController->delayBitrateBps(); }); };
  int64_t before = delayBps();
  FrameFeedback fb;
  fb.status = Status::lost;
  fb.delaySignal = 2;
  fb.recvRateKbps = 8'000;
  rig.feed(fb);
  EXPECT_EQ(rig.state([](SessionState& s) { return s.adaptation.delayOveruseRun; }), 3);
  int64_t afterKeyframe = delayBps();
  EXPECT_GE(afterKeyframe, before) << "the delay loop saw normal";
  rig.probe([](SessionState& s) { s.keyframes.lastIdrFrameId = 0; });
  rig.feed(fb);
  EXPECT_LT(delayBps(), afterKeyframe)
      << "far from a keyframe the overuse cuts";
}

TEST(HostSessionFeedback, DenseOveruseCutsRadioToleranceFromTheTwentiethOnAndTheRunCapsAt120) {
  FeedbackRig rig;
  auto overuse = [&] {
    rig.probe([](SessionState& s) {
      s.adaptation.radioTolerant = true;
      s.adaptation.rxEwmaSlow = 50'000'000;  // the receive rate keeps up: only density can cut
    });
    FrameFeedback fb;
    fb.delaySignal = 2;
    fb.recvRateKbps = 50'000;
    rig.feed(fb);
    return rig.state([](SessionState& s) { return std::pair(s.adaptation.delayOveruseRun, s.adaptation.radioTolerant); });
  };
  for (int i = 1; i < 20; ++i) EXPECT_TRUE(overuse().second) << i;
  EXPECT_EQ(overuse(), std::pair(int64_t{60}, false));
  EXPECT_EQ(overuse(), std::pair(int64_t{63}, false));
  EXPECT_EQ(rig.log.count("🛰 tolerancja strat radiowych OFF (TWARDY zator: gęstość overuse 60/120"), 1u);
  for (int i = 0; i < 30; ++i) overuse();
  EXPECT_EQ(overuse().first, 120);
  rig.feedClean();
  EXPECT_EQ(rig.state([](SessionState& s) { return s.adaptation.delayOveruseRun; }), 119);
}

TEST(HostSessionFeedback, DecodeCapFollowsTheCurrentWindowsAverageAndClimbsBy5Every1500Ms) {
  FeedbackRig rig;
  auto decodeFeed = [&](uint32_t decodeUs) {
    FrameFeedback fb;
    fb.decodeDurationUs = decodeUs;
    fb.recvRateKbps = 6'000;
    fb.delaySignal = 1;
    rig.feed(fb);
    return rig.state([](SessionState& s) { return s.geometry.decodeFpsCap; });
  };
  EXPECT_EQ(decodeFeed(20'000), 40);
  for (int i = 0; i < 70; ++i) EXPECT_EQ(decodeFeed(20'000), 40) << "also early in the second window, " << i;
  for (int i = 0; i < 49; ++i) decodeFeed(20'000);  // to the end of the second window
  // From the third window on decoding takes 10 ms: the target is 60, reached in steps of 5 per 1.5 s.
  std::vector<std::pair<int64_t, int64_t>> steps;  // (feedback, cap) at each change
  int64_t cap = 40;
  for (int i = 0; i < 600; ++i) {
    int64_t now = decodeFeed(10'000);
    if (now != cap) steps.emplace_back(i, now);
    cap = now;
  }
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0], std::pair(int64_t{0}, int64_t{45}));
  EXPECT_EQ(steps[3].second, 60);
  for (size_t i = 1; i < steps.size(); ++i) EXPECT_EQ(steps[i].first - steps[i - 1].first, 90) << "1.5 s at 60 fps";
}

TEST(HostSessionFeedback, ALostProbeFrameArmsReliefWhichRaisesTheQuantiserCeilingTo51) {
  FeedbackRig rig;
  for (int i = 0; i < 5; ++i) rig.feedClean();
  EXPECT_FALSE(rig.state([](SessionState& s) { return s.adaptation.lossReliefActive; }));
  rig.probe([&](SessionState& s) { s.adaptation.probeFrameIds.insert(rig.nextFrameId); });
  FrameFeedback fb;
  fb.status = Status::recoveredViaFec;
  fb.recvRateKbps = 6'000;
  fb.delaySignal = 1;
  rig.feed(fb);
  EXPECT_TRUE(rig.state([](SessionState& s) { return s.adaptation.lossReliefActive; }));
  EXPECT_TRUE(rig.state([](SessionState& s) { return s.adaptation.probeFrameIds.empty(); }));
  EXPECT_EQ(rig.log.count("🩹 relief strat ON"), 1u);
  EXPECT_EQ(rig.encoderProperties().maxAllowedFrameQP, 51);
  EXPECT_DOUBLE_EQ(rig.encoder->keyframeSecNow(), 0.33) << "relief shortens the keyframe interval";
  // Duplication for 3 s halves the encoder's rate; relief holds 6 s.
  int64_t applied = rig.state([](SessionState& s) { return s.adaptation.bitrateController->appliedBitrate(); });
  EXPECT_EQ(rig.encoderProperties().averageBitRate, applied / 2);
  for (int i = 0; i < 200; ++i) rig.feedClean();  // 3.3 s
  applied = rig.state([](SessionState& s) { return s.adaptation.bitrateController->appliedBitrate(); });
  EXPECT_EQ(rig.encoderProperties().averageBitRate, applied);
  for (int i = 0; i < 180; ++i) rig.feedClean();  // past 6 s
  EXPECT_FALSE(rig.state([](SessionState& s) { return s.adaptation.lossReliefActive; }));
  EXPECT_EQ(rig.log.count("🩹 relief strat OFF"), 1u);
}

TEST(LossRelief, ReArmingWithinAMinuteOpensTheChronicWindowWhichAQuietHealthyLinkEndsEarly) {
  AdaptationState a;
  const uint64_t t = 1'000'000'000'000ULL;
  auto first = stepLossRelief(a, t, true);
  EXPECT_TRUE(first.active && first.changed && !first.newlyChronic);
  EXPECT_FALSE(stepLossRelief(a, t + 6'000'000, false).active) << "relief holds 6 s";
  auto again = stepLossRelief(a, t + 20'000'000, true);
  EXPECT_TRUE(again.changed && again.newlyChronic) << "re-armed 20 s after the first arming";
  EXPECT_EQ(a.reliefChronicUntilUs, t + 140'000'000);
  auto next = stepLossRelief(a, t + 21'000'000, true);
  EXPECT_EQ(a.lossReliefUntilUs, t + 51'000'000) << "inside the window an arming holds 30 s";
  EXPECT_FALSE(next.newlyChronic);

  a.rxEwmaSlow = 3'000'000;
  EXPECT_FALSE(stepLossRelief(a, t + 40'000'000, false).chronicEndedEarly) << "relief still on";
  auto quiet = stepLossRelief(a, t + 52'000'000, false);
  EXPECT_TRUE(quiet.chronicEndedEarly);
  EXPECT_EQ(a.reliefChronicUntilUs, t + 52'000'000);

  AdaptationState radio;
  radio.radioTolerant = true;
  stepLossRelief(radio, t, true);
  EXPECT_EQ(radio.lossReliefUntilUs, t + 2'000'000) << "radio noise only extends relief by 2 s";
  EXPECT_EQ(radio.slowRecoveryUntilUs, 0u);
}

TEST(FeedbackCascade, TargetsFollowTheDeficitAgainstMotion) {
  struct Row { double deficit, motion; CascadeTargets want; };
  const Row rows[] = {
      {0.0, 0.5, {60, 1000, 1}},
      {0.6, 0.5, {30, 1000, 2}},    // m = 0.6: fps bottoms out, detail untouched
      {0.3, 0.5, {45, 1000, 2}},
      {1.0, 0.5, {30, 500, 3}},
      {0.65, 0.5, {30, 1000, 3}},   // 950 ‰ stays full detail
      {0.7, 0.5, {30, 900, 3}},
  };
  for (const Row& row : rows) {
    CascadeTargets t = cascadeTargets(row.deficit, row.motion);
    EXPECT_EQ(std::tuple(t.fps, t.permille, t.stage), std::tuple(row.want.fps, row.want.permille, row.want.stage))
        << "d=" << row.deficit;
  }
}

TEST(FeedbackCascade, SoftStepsDropAtOnceAndRiseInSpacedSteps) {
  GeometryState g;
  uint64_t now = 1'000'000'000'000ULL;
  bool soft = false, fps = false;
  stepSoftTargets(g, {60, 950, 3}, now, soft, fps);
  EXPECT_EQ(g.softPermille, 1000) << "a drop under 100 ‰ waits";
  stepSoftTargets(g, {40, 900, 3}, now, soft, fps);
  EXPECT_EQ(std::pair(g.softPermille, g.softFpsTarget), std::pair(int64_t{900}, int64_t{40}));
  EXPECT_TRUE(soft && fps);
  std::vector<int64_t> permille;
  for (int i = 0; i < 12; ++i) {
    now += 350'000;
    stepSoftTargets(g, {60, 1000, 1}, now, soft, fps);
    if (soft) permille.push_back(g.softPermille);
  }
  EXPECT_EQ(permille, (std::vector<int64_t>{950, 1000})) << "one step per more than 0.7 s";
  EXPECT_EQ(g.softFpsTarget, 60);
}

TEST(HostSessionFeedback, HeavyKeyframesEngageTheCascadeWhichLowersTheFrameRate) {
  FeedbackRig rig;
  // 400 kB keyframes every 2.75 s cost about 1.2 Mbit/s, more than 45 % of a 2 Mbit/s offer.
  rig.probe([](SessionState& s) {
    s.keyframes.lastIdrBytes = 400'000;
    s.adaptation.bitrateController->setUserCap(2'000'000);
  });
  for (int i = 0; i < 600; ++i) rig.feedClean(2'000);
  auto [stage, fps] = rig.state([](SessionState& s) { return std::pair(s.geometry.cascadeStageNow, s.geometry.softFpsTarget); });
  EXPECT_GE(stage, 2);
  EXPECT_LT(fps, 60);
  EXPECT_GE(rig.log.count("🪜 kaskada etap"), 1u);
  EXPECT_GE(rig.log.count("🎞 fps "), 1u);
  // Light keyframes and a settled session release it 4 s after the last holding condition.
  rig.probe([](SessionState& s) { s.keyframes.lastIdrBytes = 8'000; });
  for (int i = 0; i < 3000; ++i) rig.feedClean(2'000);
  EXPECT_EQ(rig.state([](SessionState& s) { return s.geometry.cascadeStageNow; }), 0);
  EXPECT_EQ(rig.state([](SessionState& s) { return s.geometry.softFpsTarget; }), 60);
}

TEST(HostSessionFeedback, DynamicQpFallsOnUnderusedCleanWindowsAndRisesOnLossyOnes) {
  FeedbackRig rig;
  auto window = [&](bool lossy) {
    for (int i = 0; i < 60; ++i) {
      rig.probe([](SessionState& s) {
        s.diag.diagTxFrames += 1;
        s.diag.diagTxBytes += 2'000;  // about 1 Mbit/s of an 8 Mbit/s offer
      });
      FrameFeedback fb;
      fb.recvRateKbps = 8'000;
      fb.delaySignal = 1;
      fb.nackRounds = lossy && i == 30 ? 2 : 0;  // counts as lost for the window, not for the controller
      rig.feed(fb);
    }
    return rig.state([](SessionState& s) { return s.adaptation.dynQp; });
  };
  EXPECT_EQ(window(false), 31);
  EXPECT_EQ(window(false), 28);
  EXPECT_EQ(rig.encoderProperties().maxAllowedFrameQP, 31) << "the ceiling follows one feedback later";
  EXPECT_EQ(window(true), 34);
  for (int i = 0; i < 10; ++i) window(false);
  EXPECT_EQ(window(false), 12) << "never below 12";
  rig.session->updateCallbacks([](SessionCallbacks& c) { c.onDiagnostics = nullptr; });
  EXPECT_EQ(window(true), 18) << "without a diagnostics listener too";
}

}  // namespace
}  // namespace vela
