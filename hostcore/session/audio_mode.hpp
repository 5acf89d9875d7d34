#pragma once
// The audio send path's quality rules, without the session around them: the four modes of the PCM
// ladder with their Opus settings, the link level that picks a mode, the hold between mode changes and
// the hi-fi Opus rate.
#include <array>
#include <cstdint>

namespace vela {

struct AudioModeSpec {
  const char* name;       // as the log names it
  int64_t pcmSliceBytes;  // bytes one 5 ms slice sends as PCM
  int opusChannels;
  int64_t opusBitrate;  // bit/s
};

struct AudioMode {
  static constexpr std::array<AudioModeSpec, 4> table{{
      {"48k stereo", 960, 2, 128'000},
      {"48k mono", 480, 2, 96'000},
      {"24k mono", 240, 1, 64'000},
      {"16k mono", 160, 1, 32'000},
  }};
  // Opus wire formats of AudioPcm (PCM packets carry the mode itself).
  static constexpr uint8_t opusStereoFormat = 0x10;
  static constexpr uint8_t opusMonoFormat = 0x11;

  // Link levels (bit/s) from which modes 0, 1 and 2 are chosen; anything measured below is mode 3.
  static constexpr int64_t stereoLevelBps = 2'500'000;
  static constexpr int64_t monoLevelBps = 1'500'000;
  static constexpr int64_t halfRateLevelBps = 800'000;
  // A mode holds for more than this after every change, so a wavering link does not flap the audio.
  static constexpr uint64_t holdUs = 3'000'000;

  // Hi-fi Opus in mode 0: switched on from 3.5 Mbit/s, kept down to 3 Mbit/s.
  static constexpr int64_t hiFiBitrate = 256'000;
  static constexpr int64_t hiFiEnterBps = 3'500'000;
  static constexpr int64_t hiFiKeepBps = 3'000'000;

  // The link's audio peak sinks by this many bit/s per second, and its floor (0.8 × the slow receive
  // average) is capped here.
  static constexpr double peakDecayBpsPerSec = 33'000;
  static constexpr double peakFloorCapBps = 12'000'000;
};

// The mode for a link level; a level of 0 (nothing measured yet) gives mode 2 on a WAN link, else 0.
int64_t audioModeForLevel(int64_t levelBps, bool wanLink);

// Whether the wanted mode replaces the current one now: it differs and the last change (0: none yet) is
// more than the hold ago.
bool audioModeMayChange(int64_t current, int64_t wanted, uint64_t nowUs, uint64_t lastChangeUs);

// The slowly decaying estimate of what the link carries, one step on: it sinks by the decay over the
// time since the last step (at most one second counts), never below 0.8 × the slow receive average
// (capped).
double decayedAudioPeak(double peakBps, double rxEwmaSlowBps, uint64_t nowUs, uint64_t lastPeakUs);

// The Opus encoder a mode wants. In mode 0 with hi-fi allowed, `hiFiActive` is switched on from
// hiFiEnterBps and off below hiFiKeepBps, and the rate is hiFiBitrate while it is on; every other mode
// switches it off.
struct OpusSetting {
  int channels;
  int64_t bitrate;
};
OpusSetting opusSettingFor(int64_t mode, int64_t levelBps, bool hiFiAllowed, bool& hiFiActive);

}  // namespace vela
