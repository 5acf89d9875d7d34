#include "hostcore/session/device_uplink.hpp"

#include <algorithm>
#include <array>

#include "protocol/camera_mic_messages.hpp"

namespace vela {

namespace {

// One step of a device's rung: down after enough bad windows, up after enough good ones (not while
// chronic relief holds), else unchanged; a device without a rung starts at 0.
int64_t nextRung(int64_t rung, int64_t& okRun, int64_t& badRun, int64_t badWindows, int64_t okWindows, int64_t topRung,
                 bool reliefOver) {
  if (rung < 0) return 0;
  if (badRun >= badWindows) {
    okRun = 0;
    badRun = 0;
    return std::max<int64_t>(rung - 1, 0);
  }
  if (okRun >= okWindows && reliefOver) {
    okRun = 0;
    return std::min(rung + 1, topRung);
  }
  return rung;
}

// Closes the window when it has run long enough: the rate of `count` per second over it, else nothing.
std::optional<double> closedWindowRate(int64_t& count, uint64_t& windowStartUs, uint64_t nowUs) {
  if (windowStartUs == 0) windowStartUs = nowUs;
  if (nowUs <= windowStartUs || nowUs - windowStartUs <= DeviceUplink::windowUs) return std::nullopt;
  const auto elapsed = static_cast<double>(nowUs - windowStartUs);
  const double rate = static_cast<double>(count) * 1e6 / elapsed;
  count = 0;
  windowStartUs = nowUs;
  return rate;
}

void countWindow(bool ok, bool bad, int64_t& okRun, int64_t& badRun) {
  if (ok) {
    okRun += 1;
    badRun = 0;
  } else if (bad) {
    badRun += 1;
    okRun = 0;
  }
}

}  // namespace

DeviceUplink::Verdict DeviceUplink::evaluateCamera(MediaDevicesState& m, bool wanted, uint64_t nowUs,
                                                   uint64_t reliefChronicUntilUs, bool legacyLadder) {
  Verdict verdict;
  const bool switchedOn = wanted && !m.mediaGateCam;
  if (wanted != m.mediaGateCam) verdict.control = wanted;
  m.mediaGateCam = wanted;
  if (!wanted) return verdict;  // an unwanted device keeps its rung and counters

  if (switchedOn) {
    m.camUpEvalUs = nowUs;
    m.camUpFrames = 0;
    m.camUpOkRun = 0;
    m.camUpBadRun = 0;
    m.camFpsPeak = 0;
  }
  const uint64_t windowStartUs = m.camUpEvalUs;
  if (auto fps = closedWindowRate(m.camUpFrames, m.camUpEvalUs, nowUs); fps && m.camQualityIdx >= 0) {
    if (legacyLadder) {
      const double reference = CamQuality::forLevel(static_cast<int>(std::min(m.camQualityIdx, cameraTopRung))).fps;
      countWindow(*fps >= cameraOkShare * reference, *fps < cameraBadShareLegacy * reference, m.camUpOkRun,
                  m.camUpBadRun);
    } else {
      // The peak sinks by one frame per second per second, so a camera that slowed for good is judged
      // against what it does now.
      const double elapsedSec = static_cast<double>(nowUs - (windowStartUs == 0 ? nowUs : windowStartUs)) / 1e6;
      m.camFpsPeak = std::max(*fps, m.camFpsPeak - elapsedSec);
      const double reference = std::max(1.0, m.camFpsPeak);
      countWindow(*fps >= cameraOkShare * reference, *fps < cameraBadShare * reference, m.camUpOkRun, m.camUpBadRun);
    }
  }
  const int64_t rung = nextRung(m.camQualityIdx, m.camUpOkRun, m.camUpBadRun, cameraBadWindows, cameraOkWindows,
                                cameraTopRung, nowUs >= reliefChronicUntilUs);
  if (rung != m.camQualityIdx || switchedOn) verdict.quality = rung;
  m.camQualityIdx = rung;
  return verdict;
}

DeviceUplink::Verdict DeviceUplink::evaluateMicrophone(MediaDevicesState& m, bool wanted, uint64_t nowUs,
                                                       uint64_t reliefChronicUntilUs) {
  Verdict verdict;
  const bool switchedOn = wanted && !m.mediaGateMic;
  if (wanted != m.mediaGateMic) verdict.control = wanted;
  m.mediaGateMic = wanted;
  if (!wanted) return verdict;

  if (switchedOn) {
    m.micUpEvalUs = nowUs;
    m.micUpPackets = 0;
    m.micUpOkRun = 0;
    m.micUpBadRun = 0;
  }
  if (auto rate = closedWindowRate(m.micUpPackets, m.micUpEvalUs, nowUs); rate && m.micQualityIdx >= 0)
    countWindow(*rate >= micOkRate, *rate < micBadRate, m.micUpOkRun, m.micUpBadRun);
  const int64_t rung = nextRung(m.micQualityIdx, m.micUpOkRun, m.micUpBadRun, micBadWindows, micOkWindows, micTopRung,
                                nowUs >= reliefChronicUntilUs);
  if (rung != m.micQualityIdx || switchedOn) verdict.quality = rung;
  m.micQualityIdx = rung;
  return verdict;
}

}  // namespace vela
