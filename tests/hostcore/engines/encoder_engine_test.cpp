#include "hostcore/engines/encoder_engine.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "hostcore/engines/keyframe_burst_cap.hpp"
#include "platform/encoder/fake_encoder.hpp"
#include "platform/video/nv12_buffer.hpp"
#include "tests/hostcore/engines/log_recorder.hpp"

namespace vela {
namespace {

using tavlo::DataRateLimit;
using tavlo::FakeCompressionSession;
using tavlo::FakeEncoder;

class EncoderEngineTest : public ::testing::Test {
 protected:
  void make(FakeEncoder::Options options = {}, int64_t width = 1920, int64_t height = 1080) {
    options.clock = &clock_;
    backend_ = std::make_shared<FakeEncoder>(options);
    engine_ = EncoderEngine::create(backend_, width, height, 60, 8'000'000, 2.0, [this](const EncodedFrame& frame) {
      std::lock_guard guard(mutex_);
      frames_.push_back(frame);
      outputThreads_.push_back(std::this_thread::get_id());
    }, clock_, settings_);
    engine_->setOnLog(log_.sink());
    session_ = backend_->lastSession();
    picture_ = tavlo::Nv12Buffer::make(static_cast<int32_t>(width), static_cast<int32_t>(height));
  }
  void encode(bool forceKeyframe = false, bool forceLTRRefresh = false, std::vector<int64_t> acked = {}) {
    engine_->encode(picture_, ++captureUs_, forceKeyframe, forceLTRRefresh, acked);
  }
  std::vector<EncodedFrame> frames() {
    if (session_) session_->flush();
    std::lock_guard guard(mutex_);
    return frames_;
  }

  tavlo::FakeClock clock_;
  std::shared_ptr<tavlo::Settings> settings_ = std::make_shared<tavlo::Settings>();
  std::shared_ptr<FakeEncoder> backend_;
  std::shared_ptr<EncoderEngine> engine_;
  std::shared_ptr<FakeCompressionSession> session_;
  std::shared_ptr<tavlo::Nv12Buffer> picture_;
  LogRecorder log_;
  uint64_t captureUs_ = 5'000;
  std::mutex mutex_;
  std::vector<EncodedFrame> frames_;
  std::vector<std::thread::id> outputThreads_;
};

TEST_F(EncoderEngineTest, SetUpTriesHardwareThenLowLatencyThenAnyEncoder) {
  struct Row {
    const char* why;
    bool hardware, lowLatency, any;
    bool expectSession, expectHardware, expectLowLatency;
  };
  const Row rows[] = {
      {"a hardware encoder is taken first", true, true, true, true, true, false},
      {"without one, low-latency rate control", false, true, true, true, false, true},
      {"then any encoder", false, false, true, true, false, false},
      {"none at all leaves the engine without a session", false, false, false, false, false, false},
  };
  for (const auto& row : rows) {
    FakeEncoder::Options options;
    options.hardwareEncoder = row.hardware;
    options.lowLatencyRateControl = row.lowLatency;
    options.anyEncoder = row.any;
    make(options);
    EXPECT_EQ(engine_->hasCompressionSession(), row.expectSession) << row.why;
    EXPECT_EQ(engine_->hardwareAccelerated(), row.expectHardware) << row.why;
    EXPECT_EQ(engine_->lowLatencyRC(), row.expectLowLatency) << row.why;
    EXPECT_EQ(engine_->ltrEnabled(), row.expectSession) << row.why;
  }
  // The engine without a session ignores everything.
  encode();
  engine_->setMaxFrameQP(30);
  EXPECT_EQ(engine_->currentMaxQP(), 44);
  EXPECT_EQ(engine_->framesInFlight(), 0);
}

TEST_F(EncoderEngineTest, SetUpProgramsARealTimeLowLatencySession) {
  make();
  auto p = session_->properties();
  EXPECT_EQ(p.realTime, true);
  EXPECT_EQ(p.allowFrameReordering, false);
  EXPECT_EQ(p.maxFrameDelayCount, 0);
  EXPECT_EQ(p.prioritizeEncodingSpeedOverQuality, true);
  EXPECT_EQ(p.profileLevel, tavlo::HevcProfileLevel::mainAutoLevel);
  // The encoder's own keyframe limit stands half a second behind the session's 2 s timer.
  EXPECT_EQ(p.maxKeyFrameInterval, 150);
  EXPECT_EQ(p.maxKeyFrameIntervalDuration, 2.5);
  EXPECT_EQ(p.averageBitRate, 8'000'000);
  EXPECT_EQ(p.dataRateLimits, (std::vector<DataRateLimit>{{414'720, 0.03}}));
  EXPECT_EQ(p.expectedFrameRate, 60);
  EXPECT_EQ(p.maxAllowedFrameQP, 44);
  EXPECT_EQ(p.minAllowedFrameQP, 10);
  EXPECT_EQ(p.colorDescription, tavlo::ColorDescription::bt709VideoRange());
  EXPECT_TRUE(p.prepared);
}

TEST_F(EncoderEngineTest, KeyframeBurstCapFollowsTheAreaWithinFloorAndCeiling) {
  struct Row {
    const char* why;
    int64_t width, height;
    int64_t bytes;
  };
  const Row rows[] = {
      {"0.2 bytes a pixel of 1920 × 1080", 1920, 1080, 414'720},
      {"a small frame gets the floor", 640, 360, 150'000},
      {"a huge frame gets the ceiling", 7680, 4320, 1'200'000},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(KeyframeBurstCap::compute(row.width, row.height, nullptr), (DataRateLimit{row.bytes, 0.03})) << row.why;
  }
  tavlo::Settings settings;
  settings.set("tl.kfCapBpp", "0.5");  // not a number: default
  settings.set("tl.kfCapFloorKB", 500);  // an integer reads as a number
  settings.set("tl.kfCapWindowSec", 0.05);
  EXPECT_EQ(KeyframeBurstCap::compute(1920, 1080, &settings), (DataRateLimit{500'000, 0.05}));
}

TEST_F(EncoderEngineTest, FirstFrameIsIdZeroAtTimeZeroAndTheStepFollowsTheEffectiveRate) {
  make();
  encode(false, false);
  encode();
  engine_->setEffectiveFps(30);
  encode();
  auto submitted = session_->submitted();
  ASSERT_EQ(submitted.size(), 3u);
  EXPECT_EQ(submitted[0].presentationTimeUs, 0);
  EXPECT_EQ(submitted[0].durationUs, 16'666);
  EXPECT_FALSE(submitted[0].options);  // nothing forced: no options at all
  EXPECT_EQ(submitted[1].presentationTimeUs, 16'666);
  EXPECT_EQ(submitted[2].presentationTimeUs, 33'332);
  EXPECT_EQ(submitted[2].durationUs, 33'333);
  EXPECT_EQ(session_->properties().maxKeyFrameInterval, 75);  // 2 s + 0.5 s at 30 fps
  EXPECT_EQ(session_->properties().expectedFrameRate, 30);

  auto encoded = frames();
  ASSERT_EQ(encoded.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(encoded[i].frameId, i);
    EXPECT_EQ(encoded[i].captureTimestampUs, 5'001 + i);
    EXPECT_NE(outputThreads_[i], std::this_thread::get_id());
  }
}

TEST_F(EncoderEngineTest, SettersClampTheirValues) {
  make();
  engine_->setEffectiveFps(0);
  EXPECT_EQ(engine_->effFps(), 1);
  engine_->setEffectiveFps(500);
  EXPECT_EQ(engine_->effFps(), 240);
  EXPECT_EQ(session_->properties().expectedFrameRate, 240);
  session_->setExpectedFrameRate(7);  // marks the property: repeating the current rate must not touch it
  engine_->setEffectiveFps(240);
  EXPECT_EQ(session_->properties().expectedFrameRate, 7);

  engine_->setKeyframeInterval(0.01);
  EXPECT_EQ(engine_->keyframeSecNow(), 0.1);
  EXPECT_EQ(session_->properties().maxKeyFrameIntervalDuration, 0.6);
  EXPECT_EQ(session_->properties().maxKeyFrameInterval, 144);  // 0.1 s + 0.5 s at 240 fps
  engine_->setKeyframeInterval(25);
  EXPECT_EQ(engine_->keyframeSecNow(), 10.0);
  EXPECT_EQ(session_->properties().maxKeyFrameInterval, 2520);

  engine_->setMaxFrameQP(60);
  EXPECT_EQ(engine_->currentMaxQP(), 51);
  EXPECT_EQ(session_->properties().maxAllowedFrameQP, 51);
  engine_->setMaxFrameQP(3);
  EXPECT_EQ(session_->properties().maxAllowedFrameQP, 10);
  engine_->setMinFrameQP(0);
  EXPECT_EQ(session_->properties().minAllowedFrameQP, 1);
  engine_->setMinFrameQP(99);
  EXPECT_EQ(session_->properties().minAllowedFrameQP, 51);
}

TEST_F(EncoderEngineTest, DataRateLimitsAreSetClearedAndRestoredByTheBitrate) {
  make();
  engine_->setDataRateLimits({{0, 0.5}, {300'000, 1.0}});
  EXPECT_EQ(session_->properties().dataRateLimits, (std::vector<DataRateLimit>{{1, 0.5}, {300'000, 1.0}}));
  engine_->clearDataRateLimits();
  EXPECT_FALSE(session_->properties().dataRateLimits);
  engine_->setBitrate(3'000'000);
  EXPECT_EQ(session_->properties().averageBitRate, 3'000'000);
  EXPECT_EQ(session_->properties().dataRateLimits, (std::vector<DataRateLimit>{{414'720, 0.03}}));

  session_->refuse(FakeCompressionSession::Property::dataRateLimits, tavlo::kEncoderInvalidValue);
  engine_->setDataRateLimits({{100'000, 1.0}});
  EXPECT_EQ(log_.lines(),
            std::vector<std::string>{"⚠️ DataRateLimits odrzucone (st=-2) — QP-sufit przejmuje rolę"});
}

TEST_F(EncoderEngineTest, ARefusedSubmissionConsumesItsIdAndReleasesItsSlot) {
  FakeEncoder::Options options;
  options.manualCompletion = true;
  make(options);
  encode();
  session_->refuseNextSubmissions(1);
  encode();
  EXPECT_EQ(engine_->framesInFlight(), 1);
  encode();
  EXPECT_EQ(engine_->framesInFlight(), 2);
  session_->completeFrames();
  auto encoded = frames();
  ASSERT_EQ(encoded.size(), 2u);
  EXPECT_EQ(encoded[0].frameId, 0u);
  EXPECT_EQ(encoded[1].frameId, 2u);
  EXPECT_EQ(session_->submitted()[2].presentationTimeUs, 2 * 16'666);
  EXPECT_EQ(engine_->framesInFlight(), 0);
}

TEST_F(EncoderEngineTest, FailedAndEmptyFramesCountAsDoneWithoutReachingTheOwner) {
  FakeEncoder::Options options;
  options.manualCompletion = true;
  make(options);
  for (int i = 0; i < 3; ++i) encode();
  session_->failNextFrames(1);
  session_->completeFrames(1);
  session_->flush();
  session_->dropDataOfNextFrames(1);
  session_->completeFrames();
  auto encoded = frames();
  ASSERT_EQ(encoded.size(), 1u);
  EXPECT_EQ(encoded[0].frameId, 2u);
  EXPECT_EQ(engine_->framesInFlight(), 0);
  EXPECT_EQ(engine_->drainThroughputWindow().framesDone, 3);
}

TEST_F(EncoderEngineTest, ThroughputWindowCollectsIntervalsWhileWorkWasQueued) {
  FakeEncoder::Options options;
  options.manualCompletion = true;
  make(options);
  for (int i = 0; i < 3; ++i) encode();
  for (uint64_t stepUs : {1'000, 7'000, 9'000}) {
    clock_.advanceUs(stepUs);
    session_->completeFrames(1);
    session_->flush();
  }
  clock_.advanceUs(50'000);
  encode();  // the encoder was idle after the third return: no interval for this one
  session_->completeFrames();
  session_->flush();
  auto window = engine_->drainThroughputWindow();
  EXPECT_EQ(window.framesDone, 4);
  EXPECT_EQ(window.saturatedIntervalsUs, (std::vector<uint64_t>{7'000, 9'000}));
  auto empty = engine_->drainThroughputWindow();
  EXPECT_EQ(empty.framesDone, 0);
  EXPECT_TRUE(empty.saturatedIntervalsUs.empty());
}

TEST_F(EncoderEngineTest, EncodeTimesAreSummarisedEverySixtyFrames) {
  FakeEncoder::Options options;
  options.manualCompletion = true;
  make(options);
  std::vector<std::pair<uint64_t, uint64_t>> stats;
  engine_->setOnEncodeStats([&](uint64_t averageUs, uint64_t maximumUs) { stats.emplace_back(averageUs, maximumUs); });
  for (int i = 0; i < 120; ++i) {
    encode();
    clock_.advanceUs(i == 10 ? 25'000 : 4'000);
    session_->completeFrames();
    session_->flush();
  }
  // 59 × 4 ms + 25 ms over 60 frames, then 60 × 4 ms.
  EXPECT_EQ(stats, (std::vector<std::pair<uint64_t, uint64_t>>{{4'350, 25'000}, {4'000, 4'000}}));
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{"🎬 enkod: avg 4 ms, max 25 ms", "🎬 enkod: avg 4 ms, max 4 ms"}));
}

TEST_F(EncoderEngineTest, ParameterSetsComeWithEveryKeyframeAndUntilFirstRead) {
  make({}, 1280, 720);
  encode();
  encode();
  encode(true);
  auto encoded = frames();
  ASSERT_EQ(encoded.size(), 3u);
  EXPECT_TRUE(encoded[0].isKeyframe);
  ASSERT_TRUE(encoded[0].parameterSets);
  EXPECT_EQ(encoded[0].parameterSets->sets.size(), 3u);
  auto config = encoded[0].parameterSets->makeDecoderConfig();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->size.width, 1280);
  EXPECT_EQ(config->size.height, 720);
  EXPECT_FALSE(encoded[1].isKeyframe);
  EXPECT_FALSE(encoded[1].parameterSets);
  EXPECT_TRUE(encoded[2].isKeyframe);
  EXPECT_TRUE(encoded[2].parameterSets);
  EXPECT_EQ(session_->submitted()[2].options, (tavlo::EncodeFrameOptions{true, false, {}}));
}

TEST_F(EncoderEngineTest, LongTermReferencesCarryTokensAcknowledgementsAndRefreshes) {
  FakeEncoder::Options options;
  options.ltrEveryFrames = 2;
  make(options);
  encode();
  encode();
  encode();
  auto encoded = frames();
  ASSERT_EQ(encoded.size(), 3u);
  EXPECT_TRUE(encoded[0].isLTR);
  EXPECT_EQ(encoded[0].ltrToken, 1);
  EXPECT_FALSE(encoded[1].isLTR);
  EXPECT_EQ(encoded[1].ltrToken, -1);
  EXPECT_EQ(encoded[2].ltrToken, 2);

  encode(false, false, {1});
  encode(false, true, {2});
  encoded = frames();
  EXPECT_EQ(session_->acknowledgedTokens(), (std::vector<int64_t>{1, 2}));
  EXPECT_TRUE(encoded[4].isLTRRefresh);
  EXPECT_FALSE(encoded[4].isKeyframe);  // refreshed from an acknowledged reference, not a keyframe
  EXPECT_TRUE(session_->encoded()[4].refreshedFromLTR);
}

TEST_F(EncoderEngineTest, WithoutLongTermReferencesRefreshesAndTokensAreNeverPassed) {
  FakeEncoder::Options options;
  options.longTermReferences = false;
  make(options);
  EXPECT_FALSE(engine_->ltrEnabled());
  encode(false, true, {3});
  auto encoded = frames();
  ASSERT_EQ(encoded.size(), 1u);
  EXPECT_FALSE(encoded[0].isLTRRefresh);
  EXPECT_FALSE(encoded[0].isLTR);
  EXPECT_EQ(encoded[0].ltrToken, -1);
  EXPECT_FALSE(session_->submitted()[0].options);
}

TEST_F(EncoderEngineTest, InvalidateEndsEncodingButKeepsTheCounters) {
  FakeEncoder::Options options;
  options.manualCompletion = true;
  make(options);
  encode();
  encode();
  EXPECT_EQ(engine_->framesInFlight(), 2);
  engine_->invalidate();
  EXPECT_TRUE(session_->invalidated());
  EXPECT_FALSE(engine_->hasCompressionSession());
  EXPECT_EQ(engine_->framesInFlight(), 0);
  encode();
  engine_->setBitrate(1);
  EXPECT_EQ(session_->submitted().size(), 2u);
  EXPECT_NE(session_->properties().averageBitRate, 1);
  EXPECT_TRUE(frames().empty());
}

TEST_F(EncoderEngineTest, AReplacedOutputCallbackReceivesTheNextFrames) {
  make();
  encode();
  ASSERT_EQ(frames().size(), 1u);
  std::vector<uint32_t> taken;
  engine_->setOnFrame([&](const EncodedFrame& frame) { taken.push_back(frame.frameId); });
  encode();
  session_->flush();
  EXPECT_EQ(frames().size(), 1u);
  EXPECT_EQ(taken, std::vector<uint32_t>{1});
}

}  // namespace
}  // namespace vela
