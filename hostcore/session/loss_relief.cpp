#include "hostcore/session/loss_relief.hpp"

#include <algorithm>

#include "hostcore/session/session_time.hpp"

namespace vela {

namespace {

constexpr uint64_t dupAfterArmUs = 3'000'000;  // duplication and "loss observed" after an arming
constexpr uint64_t reliefUs = 6'000'000;
constexpr uint64_t reliefChronicUs = 30'000'000;
constexpr uint64_t reliefRadioUs = 2'000'000;
constexpr uint64_t slowRecoveryUs = 30'000'000;
constexpr uint64_t chronicWindowUs = 120'000'000;
constexpr uint64_t chronicRearmUs = 60'000'000;     // re-arming this soon after an arming is flapping
constexpr uint64_t chronicCooldownUs = 60'000'000;  // …unless a chronic window expired this recently
constexpr uint64_t chronicLongReliefUs = 30'000'000;
constexpr uint64_t chronicEarlyEndQuietUs = 20'000'000;
constexpr double chronicEarlyEndRxBps = 2'000'000;

}  // namespace

LossReliefStep stepLossRelief(AdaptationState& a, uint64_t now, bool arm) {
  LossReliefStep step;
  if (arm) {
    a.dupUntilUs = now + dupAfterArmUs;
    a.lossObservedUntilUs = now + dupAfterArmUs;
    if (!a.radioTolerant) {
      a.lossReliefUntilUs = now + (now < a.reliefChronicUntilUs ? reliefChronicUs : reliefUs);
      a.slowRecoveryUntilUs = now + slowRecoveryUs;
    } else {
      a.lossReliefUntilUs = std::max(a.lossReliefUntilUs, now + reliefRadioUs);
    }
  }
  step.active = now < a.lossReliefUntilUs;
  step.changed = step.active != a.lossReliefActive;
  a.lossReliefActive = step.active;
  bool chronicOpen = now < a.reliefChronicUntilUs;
  if (!step.active) {
    auto sinceArm = ageUs(now, a.lastReliefArmUs);
    if (chronicOpen && a.rxEwmaSlow > chronicEarlyEndRxBps && (!sinceArm || *sinceArm > chronicEarlyEndQuietUs)) {
      a.reliefChronicUntilUs = now;
      step.chronicEndedEarly = true;
    }
    a.reliefOnSinceUs = 0;
    return step;
  }
  if (step.changed) {
    auto sinceExpire = ageUs(now, a.lastChronicExpireUs);
    if (isWithin(now, a.lastReliefArmUs, chronicRearmUs) && (!sinceExpire || *sinceExpire > chronicCooldownUs)) {
      step.newlyChronic = !chronicOpen;
      a.reliefChronicUntilUs = now + chronicWindowUs;
    }
    a.lastReliefArmUs = now;
  }
  if (now < a.reliefChronicUntilUs) a.reliefChronicUntilUs = now + chronicWindowUs;
  if (a.reliefOnSinceUs == 0) a.reliefOnSinceUs = now;
  if (!(now < a.reliefChronicUntilUs) && now - a.reliefOnSinceUs > chronicLongReliefUs) {
    a.reliefChronicUntilUs = now + chronicWindowUs;
    step.newlyChronic = true;
  }
  return step;
}

}  // namespace vela
