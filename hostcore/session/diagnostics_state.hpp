#pragma once
// Session state: counters of the diagnostics snapshot. Guarded by the session mutex.
#include <cstdint>

namespace vela {

struct DiagnosticsState {
  int64_t diagSckFps = 0;
  int64_t diagSckIntervalMs = 0;
  int64_t diagDrop = 0;
  int64_t diagEncAvgMs = 0;
  int64_t diagEncMaxMs = 0;
  int64_t diagTxBytes = 0;
  int64_t diagTxFrames = 0;
  int64_t diagTxPkts = 0;
  int64_t diagTxPktsLog = 0;
  int64_t diagAudioBytes = 0;
  int64_t diagCamBytes = 0;
  int64_t diagMicBytes = 0;
  uint64_t diagSentWindowUs = 0;
  uint64_t lastCaptureUs = 0;
  uint64_t captureIntervalSumUs = 0;
  uint64_t submitSumUs = 0;
  int64_t captureIntervalCount = 0;
};

}  // namespace vela
