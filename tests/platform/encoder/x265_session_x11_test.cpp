// The x265 backend end to end: a stream that libavcodec decodes, keyframes where they were asked for
// with the parameter sets in front, a QP ceiling that holds from the next frame on, and the per-frame
// rate control meeting its target.
#include "platform/encoder/x265_backend.hpp"
#include "platform/encoder/x265_encoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <mutex>

#include "media/cam_decoder.hpp"
#include "media/hevc_nal_units.hpp"
#include "media/hevc_parameter_sets.hpp"
#include "platform/runtime/channel.hpp"
#include "platform/runtime/clock.hpp"
#include "tests/testkit/busy_screen.hpp"

// x265 3.5 never frees its SAO buffers when SAO is off, nor one copy of its parameters: a fixed amount
// per encoder opened, inside the library. LeakSanitizer is told to look past it for this program.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace tavlo {
namespace {

constexpr int32_t kWidth = 1280;
constexpr int32_t kHeight = 720;
constexpr int64_t kFrameUs = 16'667;
constexpr uint64_t kWaitUs = 30'000'000;

struct Output {
  int index;
  EncoderStatus status;
  std::optional<EncodedSample> sample;
};

class X265SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = X265Session::create(kWidth, kHeight);
    ASSERT_NE(session_, nullptr);
    session_->setFrameObserver([this](const X265FrameReport& report) {
      std::lock_guard lock(mutex_);
      reports_.push_back(report);
    });
    ASSERT_EQ(session_->setExpectedFrameRate(60), kEncoderOk);
    ASSERT_EQ(session_->setMinAllowedFrameQP(10), kEncoderOk);
    ASSERT_EQ(session_->setMaxAllowedFrameQP(44), kEncoderOk);
    // As the encoder engine does: x265 codes and throws away its warm-up pictures before frame 0.
    ASSERT_EQ(session_->prepareToEncodeFrames(), kEncoderOk);
  }

  void submit(int index, bool forceKeyframe = false) {
    auto image = Nv12Buffer::make(kWidth, kHeight);
    screen_.paint(uint64_t(index), *image);
    EncoderInputFrame frame;
    frame.image = image;
    frame.presentationTimeUs = index * kFrameUs;
    frame.durationUs = kFrameUs;
    if (forceKeyframe) {
      frame.options = EncodeFrameOptions{};
      frame.options->forceKeyFrame = true;
    }
    ASSERT_EQ(session_->encodeFrame(frame,
                                    [this, index](EncoderStatus status, std::optional<EncodedSample> sample) {
                                      outputs_.send({index, status, std::move(sample)});
                                    }),
              kEncoderOk);
  }

  std::vector<Output> collect(size_t count) {
    std::vector<Output> got;
    const Clock& clock = SteadyClock::shared();
    const uint64_t deadline = clock.nowUs() + kWaitUs;
    while (got.size() < count) {
      auto output = outputs_.receiveUntil(clock, deadline);
      if (!output) break;
      got.push_back(std::move(*output));
    }
    return got;
  }

  std::vector<X265FrameReport> reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }

  testkit::BusyScreen screen_{kWidth, kHeight};
  std::shared_ptr<X265Session> session_;
  Channel<Output> outputs_;
  std::mutex mutex_;
  std::vector<X265FrameReport> reports_;
};

std::vector<uint8_t> nalTypes(const EncodedSample& sample) {
  std::vector<uint8_t> types;
  auto units = vela::splitLengthPrefixed(*sample.data, sample.nalUnitLengthSize);
  if (!units) return types;
  for (auto unit : *units) types.push_back(vela::hevcNalType(unit).value_or(0xff));
  return types;
}

bool contains(const std::vector<uint8_t>& types, uint8_t type) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

TEST_F(X265SessionTest, ForcedKeyframesCarryTheParameterSetsTheQPCeilingHoldsAndTheStreamDecodes) {
  // A low target pushes the QP up, so that the ceiling from frame 30 on has something to hold back.
  ASSERT_EQ(session_->setAverageBitRate(400'000), kEncoderOk);
  // The worker reads the settings when it codes a frame: the ceiling is lowered once frame 29 is out.
  for (int i = 0; i < 30; ++i) submit(i);
  auto outputs = collect(30);
  ASSERT_EQ(outputs.size(), 30u);
  ASSERT_EQ(session_->setMaxAllowedFrameQP(30), kEncoderOk);
  for (int i = 30; i < 120; ++i) submit(i, i == 60);
  auto later = collect(90);
  outputs.insert(outputs.end(), std::make_move_iterator(later.begin()), std::make_move_iterator(later.end()));
  ASSERT_EQ(outputs.size(), 120u);

  auto sets = vela::HEVCParameterSets::extract(*outputs[0].sample->formatParameterSets);
  ASSERT_TRUE(sets);
  auto decoder = vela::CamDecoder::create(0, 0, sets->serialize(), 1);
  ASSERT_NE(decoder, nullptr);
  for (const Output& output : outputs) {
    SCOPED_TRACE(output.index);
    ASSERT_EQ(output.status, kEncoderOk);
    ASSERT_TRUE(output.sample && output.sample->data);
    EXPECT_EQ(output.index, &output - outputs.data());  // in submission order
    const auto types = nalTypes(*output.sample);
    const bool keyframe = output.index == 0 || output.index == 60;
    EXPECT_EQ(output.sample->notSync, !keyframe);
    EXPECT_EQ(contains(types, 32) && contains(types, 33) && contains(types, 34), keyframe);
    EXPECT_EQ(std::any_of(types.begin(), types.end(), vela::isRandomAccessPicture), keyframe);
    auto picture = decoder->decode(*output.sample->data, uint64_t(output.index) * kFrameUs);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, kWidth);
    EXPECT_EQ(picture->height, kHeight);
  }

  const auto coded = reports();
  ASSERT_EQ(coded.size(), 120u);
  int aboveBefore = 0;
  for (size_t i = 0; i < coded.size(); ++i) {
    if (i < 30) aboveBefore += coded[i].qp > 30;
    if (i >= 30) {
      EXPECT_LE(coded[i].qp, 30) << "frame " << i;
    }
    EXPECT_LE(coded[i].qp, 44) << "frame " << i;
    EXPECT_GE(coded[i].qp, 10) << "frame " << i;
  }
  EXPECT_GT(aboveBefore, 0) << "the target never pushed the QP above the later ceiling";
}

TEST_F(X265SessionTest, APictureOfAnotherSizeIsScaledToTheSessionsSize) {
  ASSERT_EQ(session_->setAverageBitRate(4'000'000), kEncoderOk);
  auto small = Nv12Buffer::make(kWidth / 2, kHeight / 2);
  testkit::BusyScreen(kWidth / 2, kHeight / 2).paint(0, *small);
  EncoderInputFrame frame;
  frame.image = small;
  frame.durationUs = kFrameUs;
  ASSERT_EQ(session_->encodeFrame(frame,
                                  [this](EncoderStatus status, std::optional<EncodedSample> sample) {
                                    outputs_.send({0, status, std::move(sample)});
                                  }),
            kEncoderOk);
  auto outputs = collect(1);
  ASSERT_EQ(outputs.size(), 1u);
  ASSERT_EQ(outputs[0].status, kEncoderOk);
  auto sets = vela::HEVCParameterSets::extract(*outputs[0].sample->formatParameterSets);
  ASSERT_TRUE(sets);
  auto decoder = vela::CamDecoder::create(0, 0, sets->serialize(), 1);
  ASSERT_NE(decoder, nullptr);
  auto picture = decoder->decode(*outputs[0].sample->data, 0);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, kWidth);
  EXPECT_EQ(picture->height, kHeight);
}

TEST(X265Encoder, AfterTheWarmUpTheNextPictureIsAnIdrWhateverTheCallerAsks) {
  auto encoder = X265Encoder::open(kWidth, kHeight, ColorDescription::bt709VideoRange());
  ASSERT_NE(encoder, nullptr);
  encoder->warmUp();
  testkit::BusyScreen screen(kWidth, kHeight);
  std::vector<uint8_t> chroma;
  X265Frame coded;
  for (int i = 0; i < 2; ++i) {
    auto image = Nv12Buffer::make(kWidth, kHeight);
    screen.paint(uint64_t(i), *image);
    ASSERT_TRUE(encoder->encode(i420PlanesOf(*image, chroma), 30, false, i * kFrameUs, coded));
    EXPECT_EQ(coded.idr, i == 0) << "picture " << i;
  }
}

TEST_F(X265SessionTest, RefusesLongTermReferencesReorderingAndHardwareOnlySpecifications) {
  EXPECT_EQ(session_->setEnableLTR(true), kEncoderPropertyNotSupported);
  EXPECT_EQ(session_->setEnableLTR(false), kEncoderOk);
  EXPECT_EQ(session_->setAllowFrameReordering(true), kEncoderInvalidValue);
  EXPECT_EQ(session_->setMaxAllowedFrameQP(52), kEncoderInvalidValue);
  EXPECT_EQ(session_->setMaxKeyFrameIntervalDuration(std::nan("")), kEncoderInvalidValue);
  EXPECT_EQ(session_->setDataRateLimits(std::vector<DataRateLimit>{{0, 1.0}}), kEncoderInvalidValue);
  EXPECT_EQ(session_->usingHardwareAcceleratedVideoEncoder(), false);
  X265Backend backend;
  EXPECT_EQ(backend.createSession(kWidth, kHeight, {.requireHardwareAcceleratedVideoEncoder = true}), nullptr);
  EXPECT_NE(backend.createSession(kWidth, kHeight, {.enableLowLatencyRateControl = true}), nullptr);
  EXPECT_EQ(backend.createSession(4, 4, {}), nullptr);

  session_->invalidate();
  EXPECT_EQ(session_->setAverageBitRate(1'000'000), kEncoderInvalidSession);
  EncoderInputFrame frame;
  frame.image = Nv12Buffer::make(kWidth, kHeight);
  EXPECT_EQ(session_->encodeFrame(frame, [](EncoderStatus, std::optional<EncodedSample>) {}), kEncoderInvalidSession);
}

}  // namespace
}  // namespace tavlo
