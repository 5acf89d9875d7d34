#pragma once
// HEVC encoding in software with x265 (see X265Session). It is neither a hardware encoder nor one
// that a session may require to be: a request that requires hardware is refused, so the
// engine's next tier (low-latency rate control, which the per-frame rate control provides) takes it.
#include <memory>

#include "platform/encoder/encoder_backend.hpp"
#include "platform/encoder/x265_session.hpp"

namespace tavlo {

class X265Backend : public EncoderBackend {
 public:
  explicit X265Backend(X265Threading threading = X265Threading::steady()) : threading_(threading) {}
  std::shared_ptr<CompressionSession> createSession(int32_t width, int32_t height,
                                                    const EncoderSpecification& requested) override {
    if (requested.requireHardwareAcceleratedVideoEncoder) return nullptr;
    return X265Session::create(width, height, threading_);
  }

 private:
  X265Threading threading_;
};

}  // namespace tavlo
