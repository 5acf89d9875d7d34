#include "hostcore/engines/engine_factory.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/capture/synthetic_capture.hpp"
#include "platform/encoder/fake_encoder.hpp"

namespace vela {
namespace {

// The path a session builds: captured frames go to the encoder, encoded frames come back on the
// encoder's output thread.
TEST(EngineFactory, CapturedFramesReachTheEncoderAndComeBackEncoded) {
  tavlo::FakeClock clock;
  auto capture = tavlo::SyntheticCapture::create();
  auto encoderBackend = std::make_shared<tavlo::FakeEncoder>();
  EngineFactory factory(capture, encoderBackend, clock);
  factory.prewarmCapture();
  EXPECT_EQ(capture->prewarmCount(), 1);

  std::mutex mutex;
  std::vector<EncodedFrame> encoded;
  auto encoder = factory.makeEncoderEngine(640, 360, 60, 2'000'000, 1.0, [&](const EncodedFrame& frame) {
    std::lock_guard guard(mutex);
    encoded.push_back(frame);
  });
  std::weak_ptr<EncoderEngine> weakEncoder = encoder;
  auto captureEngine = factory.makeCaptureEngine([weakEncoder](const CaptureEngine::PixelBuffer& buffer, uint64_t us) {
    if (auto target = weakEncoder.lock()) target->encode(buffer, us, false, false, {});
  });
  captureEngine->start(1, 640, 360, 60, false, false);
  capture->emitFrames(3);
  encoderBackend->lastSession()->flush();

  std::lock_guard guard(mutex);
  ASSERT_EQ(encoded.size(), 3u);
  EXPECT_TRUE(encoded[0].isKeyframe);
  EXPECT_EQ(encoded[0].captureTimestampUs, tavlo::FakeClock::startUs);
  EXPECT_EQ(encoded[2].frameId, 2u);
  EXPECT_EQ(encoderBackend->lastSession()->submitted()[0].width, 640);
}

// Operations, callback replacements and deliveries from several threads at once: the engines serialise
// what must be serialised (the sanitizer builds check the rest).
TEST(EngineFactory, EnginesTakeCallsFromSeveralThreadsAtOnce) {
  auto capture = tavlo::SyntheticCapture::create();
  auto encoderBackend = std::make_shared<tavlo::FakeEncoder>();
  EngineFactory factory(capture, encoderBackend);
  std::atomic<int> framesSeen{0};
  auto encoder = factory.makeEncoderEngine(320, 180, 60, 1'000'000, 1.0, [](const EncodedFrame&) {});
  auto captureEngine = factory.makeCaptureEngine([](const CaptureEngine::PixelBuffer&, uint64_t) {});
  captureEngine->start(1, 320, 180, 60, false, false);

  std::atomic<bool> running{true};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < 50; ++i) {
      captureEngine->restart(std::nullopt);
      captureEngine->updateSize(160 + 2 * i, 90, 30);
      captureEngine->setShowsCursor(i % 2 == 0);
    }
    captureEngine->stop();
  });
  threads.emplace_back([&] {
    while (running) {
      captureEngine->setOnFrame([&, encoder](const CaptureEngine::PixelBuffer& buffer, uint64_t us) {
        ++framesSeen;
        encoder->encode(buffer, us, false, false, {});
      });
      captureEngine->setOnLog([](const std::string&) {});
      encoder->setOnFrame([](const EncodedFrame&) {});
      encoder->setOnLog([](const std::string&) {});
      encoder->setOnEncodeStats([](uint64_t, uint64_t) {});
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; running; ++i) {
      encoder->setEffectiveFps(30 + i % 30);
      encoder->setKeyframeInterval(0.5 + (i % 10) * 0.1);
      encoder->setBitrate(1'000'000 + i);
      encoder->setMaxFrameQP(30 + i % 20);
      encoder->drainThroughputWindow();
    }
  });
  for (int i = 0; i < 200; ++i) capture->emitFrame();
  threads[0].join();
  running = false;
  threads[1].join();
  threads[2].join();
  encoderBackend->lastSession()->flush();
  EXPECT_FALSE(captureEngine->isRunning());
  EXPECT_EQ(capture->runningStreamCount(), 0u);
  EXPECT_GE(encoder->framesInFlight(), 0);
  EXPECT_LE(encoder->framesInFlight(), framesSeen.load());
}

}  // namespace
}  // namespace vela
