#pragma once
// The session's diagnostics record, handed to the owner about once a second (every 60th frame
// feedback) through onDiagnostics: stream geometry, frame rates, encoder and link figures, loss and
// parity, adaptation stages, audio, camera and microphone. Per-second figures and percentages are
// truncated toward zero; "window" is the stretch since the previous snapshot.
#include <cstdint>
#include <string>

namespace vela {

struct DiagSnapshot {
  int64_t streamW = 0;
  int64_t streamH = 0;
  int64_t targetFps = 0;
  int64_t generation = 0;
  double scale = 1.0;
  bool force1x = false;
  double surfaceRung = 1.0;
  double surfaceFloor = 1.0;   // the ladder's smallest rung
  int64_t sckFps = 0;
  int64_t sckIntervalMs = 0;
  int64_t encodeDrop = 0;
  int64_t encAvgMs = 0;
  int64_t encMaxMs = 0;
  int64_t rxKbps = 0;
  double appliedMbps = 0;
  int64_t lost60 = 0;
  int64_t fecLossPct = 0;
  int64_t nack = 0;
  std::string regime;
  std::string clog = "off";
  int64_t qp = 0;
  int64_t asmAvgMs = 0;
  int64_t asmMaxMs = 0;
  int64_t decAvgMs = 0;
  int64_t decMaxMs = 0;
  bool kfAdaptive = false;
  double kfSec = 0;
  int64_t modePtW = 0;
  int64_t modePtH = 0;
  int64_t modePxW = 0;
  int64_t modePxH = 0;
  int64_t txKbps = 0;
  double avgFrameKB = 0;
  double bpp = 0;
  int64_t ratio = 0;
  int64_t softPermille = 1000;
  int64_t softFps = 60;
  int64_t audioTxKbps = 0;
  std::string path = "—";
  double pressure = 0;
  std::string audioDesc;
  int64_t sentFps = 0;
  int64_t cascadeStage = 0;
  int64_t deficitPct = 0;
  int64_t motionPct = 0;
  bool radioTolerant = false;
  int64_t lossBasePct = 0;
  int64_t encFpsCapNow = 60;
  std::string camDesc;
  int64_t camRxKbps = 0;
  std::string micDesc;
  int64_t micRxKbps = 0;
  int64_t fecRedundancyPct = 0;
  int64_t fecRecoveredPct = 100;
  int64_t fecResidualPct = 0;

  friend bool operator==(const DiagSnapshot&, const DiagSnapshot&) = default;
};

}  // namespace vela
