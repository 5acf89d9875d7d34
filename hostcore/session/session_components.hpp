#pragma once
// The parts of a session that guard themselves: made at construction, never replaced, so a step takes
// them without the session mutex (the pointers are constant) and calls them after releasing it.
#include <memory>

#include "hostcore/session/frame_downscaler.hpp"
#include "media/fluidity_governor.hpp"
#include "media/link_state_estimator.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "protocol/clipboard/clipboard_transfer.hpp"
#include "protocol/retransmit_buffer.hpp"

namespace vela {

struct SessionComponents {
  static constexpr const char* pacerQueueLabel = "vela.video.pacer";

  std::unique_ptr<RetransmitBuffer> retx;  // sent chunks for NACK answering
  std::unique_ptr<LinkStateEstimator> linkEstimator;
  std::unique_ptr<FluidityGovernor> fluidityGovernor;
  std::unique_ptr<ClipboardTransfer> clip;  // wired to the session at construction
  std::unique_ptr<tavlo::SerialExecutor> encodeQueue;  // "<reverse-DNS prefix>.encode"
  std::unique_ptr<tavlo::SerialExecutor> pacerQ;       // "vela.video.pacer"

  // Stream geometry: the HQ downscale and the soft filter, used on the encode queue only.
  std::unique_ptr<FrameDownscaler> downscaler = std::make_unique<FrameDownscaler>();
};

}  // namespace vela
