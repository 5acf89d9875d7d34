#pragma once
// The properties of one encoded video frame, repeated in each of its chunks and parity packets.
#include <cstdint>

#include "protocol/option_set.hpp"

namespace vela {

struct FrameFlags : OptionSet<FrameFlags, uint8_t> {
  using OptionSet::OptionSet;
  static const FrameFlags idr;              // a keyframe
  static const FrameFlags isLTR;            // a long-term reference, named by the frame's ltrToken
  static const FrameFlags refreshFromLTR;   // coded from a long-term reference frame
  static const FrameFlags inBandParamSets;  // the frame's data carries its HEVC parameter sets
};

inline constexpr FrameFlags FrameFlags::idr{0x01};
inline constexpr FrameFlags FrameFlags::isLTR{0x02};
inline constexpr FrameFlags FrameFlags::refreshFromLTR{0x04};
inline constexpr FrameFlags FrameFlags::inBandParamSets{0x08};

}  // namespace vela
