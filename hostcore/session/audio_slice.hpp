#pragma once
// One 5 ms slice of the system's audio as the send path cuts it: 240 frames of interleaved signed 16-bit
// stereo (left first), and what the path does to a slice: the silence test and the down-mix with
// decimation of the PCM ladder. Every read stays within the slice's bytes: a trailing partial sample or
// frame is ignored.
#include <cstddef>
#include <cstdint>

#include "platform/runtime/bytes.hpp"

namespace vela {

struct AudioSlice {
  // 240 stereo frames of 4 bytes: 5 ms at 48 kHz.
  static constexpr size_t bytes = 960;
  static constexpr size_t frameBytes = 4;
  // A slice whose largest absolute sample is below this is silent.
  static constexpr int32_t silenceThreshold = 40;
  // Silent slices in a row that still go out (100 ms); later ones are dropped until sound returns.
  static constexpr int64_t silentSlicesSent = 20;
};

// Whether the slice (native-order signed 16-bit samples) is silent; an empty slice is.
bool isSilentAudio(tavlo::ByteView slice);

// The slice down-mixed to mono and decimated for a mode of the PCM ladder: one sample per group of f
// whole stereo frames (f = 1 up to mode 1, 2 for mode 2, 3 from mode 3), the mean of the group's
// (L + R) / 2 values, each division truncating toward zero. Frames that do not fill a last group are
// dropped.
tavlo::Bytes degradeAudio(tavlo::ByteView slice, int64_t mode);

// 48 kHz mono samples as stereo frames with both channels equal; degradeAudio with mode 1 gives the
// mono samples back exactly.
tavlo::Bytes monoToStereo(tavlo::ByteView mono);

}  // namespace vela
