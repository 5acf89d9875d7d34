#include "hostcore/session/audio_send_plan.hpp"

#include <algorithm>

#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

std::string thousands(int64_t bps) { return std::to_string(bps / 1000); }

// Empties what waits to be sliced: audio dropped on purpose is dropped whole.
void dropBuffered(MediaDevicesState& media) {
  media.audioBuffer.clear();
  media.silentPacketRun = 0;
}

// Whether audio is cut for a deeply clogged link; switches the cut on and off with its log lines.
bool cutForClog(SessionState& s, uint64_t nowUs, std::vector<std::string>& lines) {
  auto& media = s.media;
  const bool cascadeAtTop = s.geometry.softPermille >= AudioSendPlan::cascadeTopPermille &&
                            s.geometry.softFpsTarget > AudioSendPlan::cascadeTopFpsAbove;
  if (s.adaptation.cloggedNow && !cascadeAtTop) {
    media.audioWeakUntilUs = nowUs + AudioSendPlan::clogCutHoldUs;
    if (!media.audioCutByLink) {
      media.audioCutByLink = true;
      lines.emplace_back("🔇 audio wycięte (głęboki zator + kaskada na dnie)");
    }
    return true;
  }
  if (!media.audioCutByLink) return false;
  if (nowUs < media.audioWeakUntilUs) return true;
  media.audioCutByLink = false;
  lines.emplace_back("🔊 audio wraca (łącze odzyskane)");
  return false;
}

}  // namespace

AudioSendPlan planAudioSend(SessionState& s, bool hiFiAllowed, uint64_t nowUs, std::vector<std::string>& lines) {
  AudioSendPlan plan;
  auto& media = s.media;
  auto& adaptation = s.adaptation;
  media.audioBuffersSeen += 1;
  if (!media.audioEnabled || s.geometry.videoPaused) {
    media.audioBuffer.clear();
    return plan;
  }

  // Link level: the proven rate, or what the link has been seen to carry lately.
  adaptation.audioRxPeak =
      decayedAudioPeak(adaptation.audioRxPeak, adaptation.rxEwmaSlow, nowUs, adaptation.lastAudioPeakUs);
  adaptation.lastAudioPeakUs = nowUs;
  const int64_t proven = adaptation.bitrateController ? adaptation.bitrateController->provenRateBps() : 0;
  plan.levelBps = std::max(proven, tavlo::truncateSaturating<int64_t>(adaptation.audioRxPeak));

  if (cutForClog(s, nowUs, lines)) {
    dropBuffered(media);
    return plan;
  }

  const int64_t wanted = audioModeForLevel(plan.levelBps, adaptation.wanLink);
  if (audioModeMayChange(media.audioMode, wanted, nowUs, media.lastAudioModeUs)) {
    media.audioMode = wanted;
    media.lastAudioModeUs = nowUs;
    lines.push_back(std::string("🔉 audio ") + AudioMode::table[static_cast<size_t>(wanted)].name + " (proven " +
                    thousands(plan.levelBps) + "k)");
  }
  plan.mode = media.audioMode;
  if (media.clientOpusCapable && !media.opusBroken)
    plan.opus = opusSettingFor(plan.mode, plan.levelBps, hiFiAllowed, media.audioHiFiActive);

  plan.transport = s.path.effectiveTransport();
  plan.sessionId = s.identity.sessionId;
  plan.send = true;
  return plan;
}

}  // namespace vela
