// The keyframe interval in force reaches the encoder: the owner's policy, loss relief, the WAN floor, and
// a policy change that lands while an earlier push is on its way.
#include <gtest/gtest.h>

#include "hostcore/engines/encoder_engine.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"

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
  EXPECT_EQ(encoderInterval(rig), std::make_pair(3.0, int64_t{180})) << "3 s at 60 fps";
  EXPECT_EQ(rig.log.count("🔑 keyframe: stały → 3.00s"), 1u);

  rig.session->setKeyframePolicy(true, 12.0);  // the ceiling 10 s leaves the controller's 2.75 s
  EXPECT_EQ(encoderInterval(rig).first, 2.75);
  EXPECT_EQ(rig.log.count("🔑 keyframe: adaptacyjny (AIMD) → 2.75s"), 1u);

  struct Row { const char* why; bool relief; bool wan; double interval; };
  const Row rows[] = {
      {"relief shortens 2.75 s to 0.33 s", true, false, 0.33},
      {"100 kB at 1 Mbit/s take 0.8 s: the WAN floor, 6.4 s, is capped at 4 s and wins", false, true, 4.0},
      {"on a WAN link the floor wins over relief", true, true, 4.0},
  };
  for (const Row& row : rows) {
    rig.probe([&](SessionState& s) {
      s.adaptation.lossReliefActive = row.relief;
      s.adaptation.wanLink = row.wan;
      s.adaptation.recvRateEwma = 1'000'000;
      s.keyframes.lastIdrBytes = 100'000;
    });
    rig.session->applyKeyframeToEncoder();
    EXPECT_DOUBLE_EQ(encoderInterval(rig).first, row.interval) << row.why;
  }
}

// A compression session of the fake encoder that runs a hook when the keyframe duration is set, that is
// while the encoder engine pushes an interval (under the engine's lock, with the session's released).
class HookedSession final : public tavlo::CompressionSession {
 public:
  HookedSession(std::shared_ptr<tavlo::CompressionSession> inner, std::function<void()> hook)
      : inner_(std::move(inner)), hook_(std::move(hook)) {}
  tavlo::EncoderStatus setMaxKeyFrameIntervalDuration(double seconds) override {
    if (hook_) std::exchange(hook_, nullptr)();
    return inner_->setMaxKeyFrameIntervalDuration(seconds);
  }
  // The rest passes through.
  tavlo::EncoderStatus setRealTime(bool on) override { return inner_->setRealTime(on); }
  tavlo::EncoderStatus setAllowFrameReordering(bool a) override { return inner_->setAllowFrameReordering(a); }
  tavlo::EncoderStatus setMaxFrameDelayCount(int64_t n) override { return inner_->setMaxFrameDelayCount(n); }
  tavlo::EncoderStatus setPrioritizeEncodingSpeedOverQuality(bool on) override {
    return inner_->setPrioritizeEncodingSpeedOverQuality(on);
  }
  tavlo::EncoderStatus setProfileLevel(tavlo::HevcProfileLevel l) override { return inner_->setProfileLevel(l); }
  tavlo::EncoderStatus setMaxKeyFrameInterval(int64_t n) override { return inner_->setMaxKeyFrameInterval(n); }
  tavlo::EncoderStatus setAverageBitRate(int64_t bps) override { return inner_->setAverageBitRate(bps); }
  tavlo::EncoderStatus setDataRateLimits(const std::optional<std::vector<tavlo::DataRateLimit>>& l) override {
    return inner_->setDataRateLimits(l);
  }
  tavlo::EncoderStatus setExpectedFrameRate(int64_t fps) override { return inner_->setExpectedFrameRate(fps); }
  tavlo::EncoderStatus setMaxAllowedFrameQP(int64_t qp) override { return inner_->setMaxAllowedFrameQP(qp); }
  tavlo::EncoderStatus setMinAllowedFrameQP(int64_t qp) override { return inner_->setMinAllowedFrameQP(qp); }
  tavlo::EncoderStatus setColorDescription(const tavlo::ColorDescription& c) override {
    return inner_->setColorDescription(c);
  }
  tavlo::EncoderStatus setEnableLTR(bool on) override { return inner_->setEnableLTR(on); }
  tavlo::EncoderStatus prepareToEncodeFrames() override { return inner_->prepareToEncodeFrames(); }
  std::optional<bool> usingHardwareAcceleratedVideoEncoder() const override {
    return inner_->usingHardwareAcceleratedVideoEncoder();
  }
  tavlo::EncoderStatus encodeFrame(tavlo::EncoderInputFrame f, tavlo::EncodeOutputHandler h) override {
    return inner_->encodeFrame(std::move(f), std::move(h));
  }
  void invalidate() override { inner_->invalidate(); }

  void arm(std::function<void()> hook) { hook_ = std::move(hook); }

 private:
  std::shared_ptr<tavlo::CompressionSession> inner_;
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
  EXPECT_EQ(encoderInterval(rig), std::make_pair(6.0, int64_t{360}));
}

}  // namespace
}  // namespace vela
