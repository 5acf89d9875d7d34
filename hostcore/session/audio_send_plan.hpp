#pragma once
// What the audio send path decides for one capture buffer under the session mutex, before it cuts and
// sends anything: whether audio goes out at all (wanted, not paused, not cut for a clogged link), the
// link level, the mode and the codec, and the path and session id of the packets. The decision updates
// the state it owns (counters, peak estimate, clog cut, mode, hi-fi flag) and leaves the log lines of
// its changes in `lines`.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostcore/session/audio_mode.hpp"
#include "hostcore/session/session_state.hpp"

namespace vela {

struct AudioSendPlan {
  static constexpr uint64_t clogCutHoldUs = 8'000'000;  // a clog cut lasts this long after the last clog
  // The quality cascade counts as untouched while detail and frame rate are at least these.
  static constexpr int64_t cascadeTopPermille = 1000;
  static constexpr int64_t cascadeTopFpsAbove = 35;

  bool send = false;  // false: the buffer is dropped and nothing else happens
  int64_t levelBps = 0;
  int64_t mode = 0;
  std::optional<OpusSetting> opus;  // Opus with this setting; nothing: the PCM ladder
  std::shared_ptr<SessionTransport> transport;
  uint32_t sessionId = 0;
};

AudioSendPlan planAudioSend(SessionState& s, bool hiFiAllowed, uint64_t nowUs, std::vector<std::string>& lines);

}  // namespace vela
