// The isolation gate: while the physical displays are being switched off, frames would show the wrong
// desktop layout, so the capture path holds video back until the provider reports the isolation
// settled, at most 4 s; after a gate that gave up, an unsettled isolation is left alone for 60 s.
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"

namespace vela {

namespace {

constexpr uint64_t isolationHoldUs = 4'000'000;
constexpr uint64_t isolationRecheckUs = 200'000;  // how often the provider is asked while no gate holds
constexpr uint64_t isolationQuietUs = 60'000'000;

}  // namespace

void HostSession::armIsolationGate() {
  if (!isolateDisplays_ || display_->isolationSettled()) return;
  Locked locked(*this);
  auto& g = locked->geometry;
  g.isolationGateUntilUs = nowUs() + isolationHoldUs;
  g.isolationGiveUpUntilUs = 0;
  locked.log("🚧 wstrzymuję strumień do czasu zgaszenia ekranów fizycznych");
}

bool HostSession::isolationGateBlocks(uint64_t now) {
  if (!isolateDisplays_) return false;
  {
    Locked locked(*this);
    const auto& g = locked->geometry;
    bool recent = g.isolationCheckedAtUs != 0 && now >= g.isolationCheckedAtUs &&
                  now - g.isolationCheckedAtUs < isolationRecheckUs;
    if (g.isolationGateUntilUs == 0 && recent) return false;
  }
  bool settled = display_->isolationSettled();
  bool enforce = false, blocks = false;
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    g.isolationCheckedAtUs = now;
    if (settled) {
      g.isolationGiveUpUntilUs = 0;
      if (g.isolationGateUntilUs != 0) {
        g.isolationGateUntilUs = 0;
        locked->keyframes.forceKeyframeNext = true;
        locked.log("✅ izolacja domknięta — wpuszczam strumień");
      }
      return false;
    }
    if (g.isolationGateUntilUs == 0) {
      if (now < g.isolationGiveUpUntilUs) return false;  // gave up lately: let it through
      // A physical display came back or was plugged in.
      g.isolationGateUntilUs = now + isolationHoldUs;
      locked.log("🚧 ekran fizyczny wrócił/podpięto — wstrzymuję strumień do czasu jego zgaszenia");
    }
    if (now < g.isolationGateUntilUs) {
      enforce = blocks = true;
    } else {
      g.isolationGateUntilUs = 0;
      g.isolationGiveUpUntilUs = now + isolationQuietUs;
      locked->keyframes.forceKeyframeNext = true;
      locked.log("⚠️ izolacja nie domknęła się w " + std::to_string(isolationHoldUs / 1'000'000) +
                 " s — wpuszczam strumień mimo to");
    }
  }
  if (enforce) display_->enforceIsolation();
  return blocks;
}

}  // namespace vela
