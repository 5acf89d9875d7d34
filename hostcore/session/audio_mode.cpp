#include "hostcore/session/audio_mode.hpp"

#include <algorithm>

namespace vela {

int64_t audioModeForLevel(int64_t levelBps, bool wanLink) {
  if (levelBps >= AudioMode::stereoLevelBps) return 0;
  if (levelBps >= AudioMode::monoLevelBps) return 1;
  if (levelBps >= AudioMode::halfRateLevelBps) return 2;
  if (levelBps >= 1) return 3;
  return wanLink ? 2 : 0;
}

bool audioModeMayChange(int64_t current, int64_t wanted, uint64_t nowUs, uint64_t lastChangeUs) {
  if (wanted == current) return false;
  // A stamp in the future (it cannot be, on a monotonic clock) holds rather than wraps.
  return nowUs >= lastChangeUs && nowUs - lastChangeUs > AudioMode::holdUs;
}

double decayedAudioPeak(double peakBps, double rxEwmaSlowBps, uint64_t nowUs, uint64_t lastPeakUs) {
  const double elapsedSec = nowUs > lastPeakUs ? static_cast<double>(nowUs - lastPeakUs) / 1e6 : 0.0;
  const double dt = std::min(elapsedSec, 1.0);
  const double floor = std::min(0.8 * rxEwmaSlowBps, AudioMode::peakFloorCapBps);
  return std::max(peakBps - AudioMode::peakDecayBpsPerSec * dt, floor);
}

OpusSetting opusSettingFor(int64_t mode, int64_t levelBps, bool hiFiAllowed, bool& hiFiActive) {
  const auto& spec = AudioMode::table[static_cast<size_t>(std::clamp<int64_t>(mode, 0, 3))];
  if (mode != 0 || !hiFiAllowed) {
    hiFiActive = false;
    return {spec.opusChannels, spec.opusBitrate};
  }
  if (levelBps >= AudioMode::hiFiEnterBps) {
    hiFiActive = true;
  } else if (levelBps < AudioMode::hiFiKeepBps) {
    hiFiActive = false;
  }
  return {spec.opusChannels, hiFiActive ? AudioMode::hiFiBitrate : spec.opusBitrate};
}

}  // namespace vela
