#pragma once
// What one feedback's adaptation step carries into the work done once per window of 60 feedbacks
// (shared by the adaptation files of the session).
#include <cstdint>

#include "hostcore/session/host_session.hpp"
#include "media/governor_decision.hpp"
#include "media/link_state.hpp"

namespace vela {

struct HostSession::FeedbackWindow {
  static constexpr int64_t feedbacks = 60;

  uint64_t nowUs = 0;
  // The window's counters as they stood before the reset.
  int64_t lost = 0;          // frames lost or needing 2 or more NACK rounds
  int64_t residualLost = 0;  // frames lost
  int64_t decodeSumUs = 0;
  int64_t decodeMaxUs = 0;
  int64_t assembleSumUs = 0;
  int64_t assembleMaxUs = 0;
  int64_t nackSum = 0;
  int64_t samples = feedbacks;
  // The step's link view.
  LinkState link;
  GovernorDecision decision;
  int64_t sharpFloorBps = 0;
};

}  // namespace vela
