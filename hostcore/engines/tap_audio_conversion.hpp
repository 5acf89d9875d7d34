#pragma once
// The tap engine's conversion of one input cycle into the session's audio block (interleaved signed
// 16-bit little-endian stereo, 4 bytes per frame). It reads only the cycle's first buffer, as 32-bit
// floats with that buffer's channel count, and takes as many whole frames as the buffer's bytes hold:
// the cycle's own frame count is not trusted. Mono is duplicated, channels past the second skipped.
// Samples are truncated toward zero (0.25 gives 8191, where the capture engine's conversion rounds to
// 8192); a NaN sample becomes 32767.
#include <optional>

#include "platform/audio/audio_sample_buffer.hpp"
#include "platform/runtime/bytes.hpp"

namespace vela {

// The block of one cycle, or nothing when the cycle has no usable first buffer (none, no data, less than
// one float) or says its samples are integers. A buffer with fewer samples than channels gives an
// empty block.
std::optional<tavlo::Bytes> convertTapInput(const tavlo::AudioSampleBuffer& input);

}  // namespace vela
