#pragma once
// A parked session's running capture and encoder engines, with what they run at, handed by the owner
// to the next session of the same device so that it resumes them instead of starting new ones.
#include <cstdint>
#include <memory>

namespace vela {

class CaptureEngine;
class EncoderEngine;

struct WarmEngineBundle {
  std::shared_ptr<CaptureEngine> capture;
  std::shared_ptr<EncoderEngine> encoder;
  int64_t pxW = 0;  // the pixel size and frame rate the engines were running at
  int64_t pxH = 0;
  int64_t fps = 0;
  uint32_t displayID = 0;  // the display the capture engine was bound to
};

}  // namespace vela
