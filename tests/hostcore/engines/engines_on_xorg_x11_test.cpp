// The capture and encoder engines on the real backends, wired as the session wires them: the capture
// engine on a dummy Xorg output hands its frames to the encoder engine on x265, and what comes out
// decodes with libavcodec at the captured size, a keyframe with its parameter sets first.
#include <gtest/gtest.h>

#include "hostcore/engines/capture_engine.hpp"
#include "hostcore/engines/encoder_engine.hpp"
#include "media/cam_decoder.hpp"
#include "platform/capture/x11_capture.hpp"
#include "platform/encoder/x265_backend.hpp"
#include "platform/runtime/channel.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace vela {
namespace {

constexpr int64_t kWidth = 1280;
constexpr int64_t kHeight = 720;
constexpr uint64_t kWaitUs = 10'000'000;

TEST(EnginesOnXorg, CapturedFramesEncodeToAStreamThatDecodesAtTheCapturedSize) {
  tavlo::testkit::XorgServer server;
  ASSERT_TRUE(server.start()) << server.failureText();
  auto capture = std::make_shared<tavlo::X11Capture>(tavlo::X11Capture::Options{server.display(), nullptr, 2});
  auto displays = capture->shareableDisplays();
  ASSERT_FALSE(displays.empty());

  tavlo::Channel<EncodedFrame> encoded;
  auto encoder = EncoderEngine::create(std::make_shared<tavlo::X265Backend>(), kWidth, kHeight, 60, 4'000'000, 2.0,
                                       [&](const EncodedFrame& frame) { encoded.send(frame); });
  ASSERT_TRUE(encoder->hasCompressionSession());
  EXPECT_FALSE(encoder->ltrEnabled());
  EXPECT_TRUE(encoder->lowLatencyRC());
  EXPECT_FALSE(encoder->hardwareAccelerated());

  tavlo::Channel<std::string> logs;
  std::weak_ptr<EncoderEngine> weakEncoder = encoder;
  auto engine = CaptureEngine::create(capture, [weakEncoder](const CaptureEngine::PixelBuffer& frame, uint64_t us) {
    if (auto target = weakEncoder.lock()) target->encode(frame, us, false, false, {});
  });
  engine->setOnLog([&](const std::string& line) { logs.send(line); });
  // Without a system audio source the stream runs without sound, as the engine's failure path says.
  engine->start(displays[0].displayID, kWidth, kHeight, 60, true, true);

  const tavlo::Clock& clock = tavlo::SteadyClock::shared();
  auto first = encoded.receiveUntil(clock, clock.nowUs() + kWaitUs);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->isKeyframe);
  ASSERT_TRUE(first->parameterSets);
  auto decoder = CamDecoder::create(0, 0, first->parameterSets->serialize(), 1);
  ASSERT_NE(decoder, nullptr);
  auto picture = decoder->decode(first->avcc, first->captureTimestampUs);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, kWidth);
  EXPECT_EQ(picture->height, kHeight);
  engine->stop();

  bool audioRefusedLogged = false;
  while (auto line = logs.tryReceive()) audioRefusedLogged |= line->rfind("❌ audio output SCK: ", 0) == 0;
  EXPECT_TRUE(audioRefusedLogged);
}

}  // namespace
}  // namespace vela
