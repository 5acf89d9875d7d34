// A recorded minute of client feedback with loss bursts, through the whole adaptation on the real
// controllers, against its expected decision log (tests/testdata/session_feedback_trace.txt). A line is
// written whenever a decision changes: what the encoder was set to (bitrate, quantiser limits, keyframe
// interval), the soft frame rate and detail, relief, the governor's clog, and forced keyframes.
//
// The expected file was reviewed by hand at its turning points:
// - 0–8 s, clean and under-used: the quantiser ceiling steps 34 → 12 by 3 a window (dynamic QP) and the
//   adaptive keyframe interval shortens toward 1 s on an ample rate;
// - 10.0 s, the first burst: the first lost frame forces a keyframe (later ones every 333 ms under relief), the
//   delay loop cuts 10 → 2.55 Mbit/s; at 10.35 s the link is critical: relief on (ceiling 51, keyframes
//   every 0.33 s, the encoder's rate halved while frames are duplicated); the cascade lowers the frame
//   rate to 50;
// - 20.05 s relief off: the ceiling returns to dynamic QP, the frame rate climbs back 5 fps per 0.7 s;
// - 30.1 s, the second burst re-arms relief within a minute of the first arming: the chronic window
//   opens (minimum QP 35, bitrate floor demoted to 500 kbit/s); at 31.4 s the fluidity governor engages
//   (210 kbit/s cap) and releases at 40.5 s;
// - from 33 s relief holds 30 s per arming inside the chronic window while the rate climbs to its ceiling. After a deliberate change to the
// adaptation, run with TAVLO_REGENERATE_TRACE=1 to rewrite it, and review the difference.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/hostcore/session/feedback_rig.hpp"

namespace vela {
namespace {

using testkit::FeedbackRig;
using Status = FrameFeedback::Status;

constexpr const char* expectedPath = TAVLO_SOURCE_DIR "/tests/testdata/session_feedback_trace.txt";

// What the link does in each stretch of the minute.
struct Phase {
  uint64_t untilMs;
  uint32_t rxKbps;
  int lossEvery;       // every n-th frame is lost (0: none)
  int fecEvery;        // every n-th frame is rebuilt from parity (0: none)
  uint8_t delaySignal;
  uint32_t assembleUs;
};

const Phase phases[] = {
    {10'000, 8'000, 0, 0, 1, 2'000},   // clean
    {14'000, 3'000, 5, 0, 2, 9'000},   // a burst: 20 % lost, delay overuse, rate collapses
    {30'000, 5'000, 0, 0, 1, 2'500},   // recovery
    {33'000, 300, 2, 0, 2, 12'000},    // a heavy burst: half lost at 300 kbit/s
    {45'000, 6'000, 0, 0, 3, 2'000},   // recovery with underuse
    {47'000, 6'000, 0, 10, 1, 3'000},  // parity repairs every 10th frame
    {60'000, 7'000, 0, 0, 1, 2'000},   // clean
};

std::string decisionLine(FeedbackRig& rig, const GovernorDecision* /*unused*/) {
  auto p = rig.encoderProperties();
  return rig.state([&](SessionState& s) {
    std::ostringstream line;
    line << "br=" << p.averageBitRate.value_or(0) << " qp=" << p.minAllowedFrameQP.value_or(0) << ".."
         << p.maxAllowedFrameQP.value_or(0) << " kf=" << rig.encoder->keyframeSecNow()
         << " fps=" << s.geometry.softFpsTarget << " detail=" << s.geometry.softPermille
         << " stage=" << s.geometry.cascadeStageNow << " relief=" << s.adaptation.lossReliefActive
         << " chronic=" << (s.adaptation.reliefChronicUntilUs > rig.clock().nowUs())
         << " clog=" << s.adaptation.burstEngaged << " decodeCap=" << s.geometry.decodeFpsCap;
    return line.str();
  });
}

std::string runTrace() {
  FeedbackRig rig;
  rig.probe([](SessionState& s) {
    s.keyframes.lastIdrBytes = 60'000;
    s.keyframes.bootstrapMinQPActive = true;
    s.diag.diagSckFps = 60;
  });
  std::ostringstream log;
  std::string last;
  uint64_t startUs = rig.clock().nowUs();
  const Phase* phase = phases;
  for (int i = 0; i < 3600; ++i) {
    uint64_t ms = (rig.clock().nowUs() - startUs) / 1000;
    while (ms >= phase->untilMs) ++phase;
    uint32_t frameId = rig.nextFrameId;
    // The send path's part: the frame's capture time (30 ms of feedback lag) and its bytes (half the rate).
    rig.probe([&](SessionState& s) {
      s.send.frameCapIds[frameId & 0xFF] = frameId;
      s.send.frameCapUs[frameId & 0xFF] = rig.clock().nowUs() + FeedbackRig::frameUs - 30'000;
      s.diag.diagTxFrames += 1;
      s.diag.diagTxBytes += std::max<int64_t>(1, s.adaptation.lastSetBitrate / 8 / 60 / 2);  // a calm desktop
    });
    FrameFeedback fb;
    fb.frameId = frameId;
    fb.status = phase->lossEvery && i % phase->lossEvery == 0   ? Status::lost
                : phase->fecEvery && i % phase->fecEvery == 0 ? Status::recoveredViaFec
                                                               : Status::clean;
    fb.assembleDurationUs = phase->assembleUs;
    fb.decodeDurationUs = 5'000;
    fb.delaySignal = phase->delaySignal;
    fb.recvRateKbps = phase->rxKbps;
    rig.clock().advanceUs(FeedbackRig::frameUs);
    rig.nextFrameId += 1;
    rig.session->handleVideoUpstreamPacket(encodePacket(fb, 0, 0));

    std::string line = decisionLine(rig, nullptr);
    bool forced = rig.probe([](SessionState& s) { return std::exchange(s.keyframes.forceKeyframeNext, false); });
    if (line != last || forced) {
      log << "t=" << (rig.clock().nowUs() - startUs) / 1000 << "ms " << line << (forced ? " IDR" : "") << "\n";
      last = line;
    }
  }
  return log.str();
}

TEST(HostSessionFeedbackTrace, AMinuteWithLossBurstsGivesTheReviewedDecisionLog) {
  std::string actual = runTrace();
  EXPECT_EQ(actual, runTrace()) << "the trace is deterministic";
  if (std::getenv("TAVLO_REGENERATE_TRACE")) {
    std::ofstream(expectedPath) << actual;
    GTEST_SUCCEED() << "rewrote " << expectedPath;
    return;
  }
  std::ifstream in(expectedPath);
  ASSERT_TRUE(in) << "missing " << expectedPath;
  std::stringstream expected;
  expected << in.rdbuf();
  EXPECT_EQ(actual, expected.str());
}

}  // namespace
}  // namespace vela
