// The keyframe interval in force reaches the encoder: the owner's policy, loss relief, the WAN floor, and
// a policy change that lands while an earlier push is on its way.
#include <gtest/gtest.h>

#include "hostcore/engines/encoder_engine.hpp"
#include "platform/video/nv12_buffer.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"
#include "tests/hostcore/session/streaming_session.hpp"
#include "tests/testkit/forwarding_compression_session.hpp"

namespace vela {
namespace {

using testkit::SessionRig;

// The keyframe interval the fake compression session holds, in seconds and in frames.
std::pair<double, int64_t> encoderInterval(SessionRig& rig) {
  auto properties = rig.encoderBackend->lastSession()->properties();
  return {properties.maxKeyFrameIntervalDuration.value_or(-1), properties.maxKeyFrameInterval.value_or(-1)};
}

TEST(HostSessionKeyframes, TheIntervalInForceIsPushedWithReliefAndTheWanFloor) {
  SessionRig rig;
  SessionConfig config = rig.config();
  config.keyframeAdaptive = false;  // the adaptive controller keeps its start interval
  rig.make(std::move(config));
  auto encoder = rig.makeEncoder();
  rig.probe([&](SessionState& s) { s.engines.encoder = encoder; });

  rig.session->setKeyframePolicy(false, 3.0);
  // The encoder's own limit stands half a second behind the session's timer.
  EXPECT_EQ(encoderInterval(rig), std::make_pair(3.5, int64_t{210})) << "3 s + 0.5 s at 60 fps";
  EXPECT_EQ(rig.log.count("🔑 keyframe: stały → 3.00s"), 1u);

  rig.session->setKeyframePolicy(true, 12.0);  // the ceiling 10 s leaves the controller's 2.75 s
  EXPECT_EQ(encoderInterval(rig).first, 3.25);
  EXPECT_EQ(rig.log.count("🔑 keyframe: adaptacyjny (AIMD) → 2.75s"), 1u);

  struct Row { const char* why; bool relief; bool wan; double encoderLimit; };
  const Row rows[] = {
      {"relief shortens 2.75 s to 0.33 s (the encoder's own limit half a second behind)", true, false, 0.83},
      {"100 kB at 1 Mbit/s take 0.8 s: the WAN floor, 6.4 s, is capped at 4 s and wins", false, true, 4.5},
      {"on a WAN link the floor wins over relief", true, true, 4.5},
  };
  for (const Row& row : rows) {
    rig.probe([&](SessionState& s) {
      s.adaptation.lossReliefActive = row.relief;
      s.adaptation.wanLink = row.wan;
      s.adaptation.recvRateEwma = 1'000'000;
      s.keyframes.lastIdrBytes = 100'000;
    });
    rig.session->applyKeyframeToEncoder();
    EXPECT_DOUBLE_EQ(encoderInterval(rig).first, row.encoderLimit) << row.why;
  }
}

// The session's timer forces the keyframes at the interval the encoder is given, relief and WAN floor
// included: the encoder's own limit stands behind the timer, so a timer that kept the plain interval let
// relief keyframes come only every 0.83 s, and a WAN link got them sooner than its floor allows.
TEST(HostSessionKeyframes, TheTimerForcesKeyframesAtTheIntervalTheEncoderIsGiven) {
  struct Row { const char* why; bool relief; bool wan; double dueAfterSec; };
  const Row rows[] = {
      {"relief: every 0.33 s instead of 2.75 s", true, false, 0.33},
      {"no relief: the interval in force", false, false, 2.75},
      {"a WAN link: its 4 s floor", false, true, 4.0},
  };
  constexpr uint64_t frameUs = 16'667;
  for (const Row& row : rows) {
    SessionRig rig;
    rig.make();
    auto engines = testkit::makeStreaming(rig);
    rig.session->setKeyframePolicy(false, 2.75);
    const uint64_t start = rig.clock().nowUs();
    rig.probe([&](SessionState& s) {
      s.adaptation.lossReliefActive = row.relief;
      s.adaptation.wanLink = row.wan;
      s.adaptation.recvRateEwma = 1'000'000;
      s.keyframes.lastIdrBytes = 100'000;
      s.keyframes.lastIdrWallUs = start;
      s.keyframes.forceKeyframeNext = false;
    });
    auto frame = tavlo::Nv12Buffer::make(1280, 720);
    std::vector<double> forcedAtSec;
    int64_t forced = 0;
    for (uint64_t t = start + frameUs; t <= start + 5'000'000; t += frameUs) {
      rig.clock().setUs(t);
      HostSessionProbe::captured(*rig.session, frame, t);
      const int64_t now = rig.probe([](SessionState& s) { return s.keyframes.gopForcedWindow; });
      if (now != forced) forcedAtSec.push_back(double(t - start) / 1e6);
      forced = now;
    }
    // The frames handed to the encoder are coded before the rig (and the encoder's backend) goes.
    ASSERT_TRUE(testkit::eventually([&] {
      return rig.probe([](SessionState& s) { return s.send.encodePending; }) == 0 && engines.encoder->framesInFlight() == 0;
    }));
    ASSERT_FALSE(forcedAtSec.empty()) << row.why;
    EXPECT_NEAR(forcedAtSec[0], row.dueAfterSec, 0.02) << row.why;
    for (size_t i = 1; i < forcedAtSec.size(); ++i) {
      EXPECT_NEAR(forcedAtSec[i] - forcedAtSec[i - 1], row.dueAfterSec, 0.02) << row.why << ", never two in a row";
    }
  }
}

// A compression session of the fake encoder that runs a hook when the keyframe duration is set, that is
// while the encoder engine pushes an interval (under the engine's lock, with the session's released).
class HookedSession final : public tavlo::testkit::ForwardingCompressionSession {
 public:
  HookedSession(std::shared_ptr<tavlo::CompressionSession> inner, std::function<void()> hook)
      : ForwardingCompressionSession(std::move(inner)), hook_(std::move(hook)) {}
  tavlo::EncoderStatus setMaxKeyFrameIntervalDuration(double seconds) override {
    if (hook_) std::exchange(hook_, nullptr)();
    return inner_->setMaxKeyFrameIntervalDuration(seconds);
  }
  void arm(std::function<void()> hook) { hook_ = std::move(hook); }

 private:
  std::function<void()> hook_;
};

class HookedBackend final : public tavlo::EncoderBackend {
 public:
  explicit HookedBackend(std::shared_ptr<tavlo::EncoderBackend> inner) : inner_(std::move(inner)) {}
  std::shared_ptr<tavlo::CompressionSession> createSession(int32_t w, int32_t h,
                                                           const tavlo::EncoderSpecification& spec) override {
    auto inner = inner_->createSession(w, h, spec);
    if (inner) last = std::make_shared<HookedSession>(inner, nullptr);
    return inner ? last : nullptr;
  }
  std::shared_ptr<HookedSession> last;

 private:
  std::shared_ptr<tavlo::EncoderBackend> inner_;
};

TEST(HostSessionKeyframes, APolicyChangeThatRacesAPushIsAppliedBeforeThePushReturns) {
  SessionRig rig;
  rig.make();
  auto backend = std::make_shared<HookedBackend>(rig.encoderBackend);
  auto encoder = EncoderEngine::create(backend, 1280, 720, 60, 8'000'000, 2.0, [](const EncodedFrame&) {}, rig.clock());
  rig.probe([&](SessionState& s) {
    s.engines.encoder = encoder;
    s.keyframes.kfAdaptive = false;
    s.keyframes.kfFixedSec = 2.0;
  });
  int hooks = 0;
  // While the first interval (2 s) is on its way, the owner's new policy (6 s) lands: its own push would
  // follow, but this call must not leave the stale 2 s behind it either.
  backend->last->arm([&] {
    ++hooks;
    rig.probe([](SessionState& s) {
      s.keyframes.kfFixedSec = 6.0;
      s.keyframes.kfEpoch += 1;
    });
  });
  rig.session->applyKeyframeToEncoder();
  EXPECT_EQ(hooks, 1);
  EXPECT_EQ(encoder->keyframeSecNow(), 6.0);
  EXPECT_EQ(encoderInterval(rig), std::make_pair(6.5, int64_t{390}));
}

}  // namespace
}  // namespace vela
