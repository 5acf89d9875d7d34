#pragma once
// One encoded video frame as the encoder engine hands it to the session.
#include <cstdint>
#include <optional>

#include "media/hevc_parameter_sets.hpp"
#include "platform/runtime/bytes.hpp"

namespace vela {

struct EncodedFrame {
  uint32_t frameId = 0;  // the engine's submission counter; an engine's first frame is 0
  bool isKeyframe = false;  // a sync (IDR) frame
  uint64_t captureTimestampUs = 0;  // as passed to encode
  // The whole access unit: HEVC NAL units, each behind its big-endian length (of the parameter sets'
  // length size, 4).
  tavlo::Bytes avcc;
  // On every keyframe, and on every frame until the first time they could be read.
  std::optional<HEVCParameterSets> parameterSets;
  bool isLTR = false;  // a long-term reference whose acknowledgement the encoder asks for
  int64_t ltrToken = -1;  // its token; -1 when not isLTR
  bool isLTRRefresh = false;  // submitted with a forced refresh from a long-term reference while those are on
};

}  // namespace vela
