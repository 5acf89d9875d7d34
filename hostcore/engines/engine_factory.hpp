#pragma once
// Makes a session's capture and encoder engines on the backends the process was given: the real ones
// in the host, SyntheticCapture and FakeEncoder in tests. Sessions receive one factory at construction
// and never name a backend themselves.
#include <memory>

#include "hostcore/engines/capture_engine.hpp"
#include "hostcore/engines/encoder_engine.hpp"
#include "platform/capture/capture_backend.hpp"
#include "platform/encoder/encoder_backend.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/json_store.hpp"

namespace vela {

class EngineFactory {
 public:
  // `clock` stamps captured frames and times encodes (the session's own clock); it must outlive every
  // engine made. `settings` are the user defaults the encoder reads (null: defaults).
  EngineFactory(std::shared_ptr<tavlo::CaptureBackend> captureBackend,
                std::shared_ptr<tavlo::EncoderBackend> encoderBackend,
                const tavlo::Clock& clock = tavlo::SteadyClock::shared(),
                std::shared_ptr<const tavlo::JsonStore> settings = nullptr)
      : captureBackend_(std::move(captureBackend)),
        encoderBackend_(std::move(encoderBackend)),
        clock_(clock),
        settings_(std::move(settings)) {}

  std::shared_ptr<CaptureEngine> makeCaptureEngine(CaptureEngine::FrameCallback onFrame) const {
    return CaptureEngine::create(captureBackend_, std::move(onFrame), clock_);
  }

  std::shared_ptr<EncoderEngine> makeEncoderEngine(int64_t width, int64_t height, int64_t fps, int64_t bitrate,
                                                   double keyframeSec, EncoderEngine::FrameCallback onFrame) const {
    return EncoderEngine::create(encoderBackend_, width, height, fps, bitrate, keyframeSec, std::move(onFrame),
                                 clock_, settings_);
  }

  // The capture warm-up the host runs once at launch.
  void prewarmCapture() const {
    if (captureBackend_) CaptureEngine::prewarm(*captureBackend_);
  }

  const tavlo::Clock& clock() const { return clock_; }

 private:
  std::shared_ptr<tavlo::CaptureBackend> captureBackend_;
  std::shared_ptr<tavlo::EncoderBackend> encoderBackend_;
  const tavlo::Clock& clock_;
  std::shared_ptr<const tavlo::JsonStore> settings_;
};

}  // namespace vela
