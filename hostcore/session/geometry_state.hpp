#pragma once
// Session state: stream geometry, scale, frame rate, the surface ladder, the fps cascade, encoder
// capacity, video pause and the isolation gate. Guarded by the session mutex.
//
// The pixel-transfer session and the surface pools of downscaling and the soft filter are not here:
// only the encode queue touches them, so they belong to the object that queue runs.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "protocol/status_messages.hpp"

namespace vela {

// A focus state kept for later: whether a text field is focused and, when known, its frame.
struct PendingFocus {
  bool active = false;
  std::optional<TextFocusMessage::Rect> fieldFrame;
};

// What the cascade logged last: stage, frame rate and detail in permille.
struct CascadeLogMark {
  int64_t stage = -1;
  int64_t fps = -1;
  int64_t permille = -1;
};

struct GeometryState {
  static constexpr int64_t maxFps = 60;

  // Frame rate and scale chosen by the owner (changed later by reconfiguration).
  int64_t targetFps = maxFps;    // 24…60
  double scaleS = 1.0;           // 1.0…2.0
  bool force1xActive = false;

  // Sizes.
  int64_t currentPw = 0;
  int64_t currentPh = 0;
  int64_t baseW = 0;
  int64_t baseH = 0;
  double streamScaleActive = 1.0;

  // Surface ladder.
  std::vector<double> ladderRungs{1.0, 0.75, 0.667, 0.5};
  int64_t ladderIdx = 0;
  bool ladderInitDone = false;
  int64_t ladderUpRun = 0;
  int64_t ladderDownRun = 0;
  int64_t ladderStepsDone = 0;
  int64_t lastLadderUpNeeded = 0;
  int64_t lastFullStreamArea = 0;

  // Resize and reconfiguration.
  std::optional<std::pair<int64_t, int64_t>> lastResizeWindowPx;  // each side 2…8192
  // The client's decode limit from its hello (0: none): every rebuild's coded size keeps inside it.
  uint16_t maxDecodePxW = 0;
  uint16_t maxDecodePxH = 0;
  // The live mode of the display captured from, in pixels (0: not known): the full-backing capture
  // never asks for more than it.
  int64_t displayPixelW = 0;
  int64_t displayPixelH = 0;
  int64_t pendingResizeToken = 0;
  int64_t pendingResizePw = 0;
  int64_t pendingResizePh = 0;
  bool isReconfiguring = false;
  bool remodeInFlight = false;
  bool fpsDirty = false;

  // The client's panel.
  double clientPhysFactor = 1.0;
  int64_t clientBackingPercent = 200;
  bool clientIsMac = false;
  bool hqDownscale = true;

  // Soft resolution and frame-rate caps.
  int64_t softPermille = 1000;  // 1000 = off
  uint64_t softSeedUntilUs = 0;
  uint64_t lastSoftRaiseUs = 0;
  int64_t softFpsTarget = maxFps;
  int64_t sourceFpsCap = maxFps;
  int64_t decodeFpsCap = maxFps;
  int64_t encFpsCap = maxFps;
  double fpsAccum = 0;
  uint64_t lastFpsRaiseUs = 0;
  uint64_t lastSrcFpsRaiseUs = 0;
  uint64_t lastDecFpsRaiseUs = 0;

  // Cascade.
  bool cascadeEngaged = false;
  uint64_t cascadeHoldUs = 0;
  CascadeLogMark cascadeLastLog;
  uint64_t cascadeWallSinceUs = 0;
  double motionEwma = 0.5;
  int64_t cascadeStageNow = 0;
  int64_t cascadeDeficitPct = 0;

  // Encoder capacity and budget.
  bool budgetCappedNow = false;
  int64_t budgetUpRun = 0;
  int64_t budgetDownRun = 0;
  uint64_t lastBudgetAdjustUs = 0;
  double capacityEwmaPxFps = 0;
  uint64_t lastSaturatedUs = 0;
  uint64_t lastCapacityDrainUs = 0;
  uint64_t lastBudgetPersistUs = 0;
  double lastCapacityLogBudget = 0;
  int64_t lastEffFpsApplied = 0;

  // Encoder capacity budget in pixels per second: starts from the stored "tl.encBudgetPxFps" (the
  // tunables' value) and follows what the encoder is measured to carry.
  double encBudgetPxFps = 0;

  // Video pause (client in the background).
  bool videoPaused = false;
  uint64_t videoPausedAtUs = 0;

  // Isolation gate clocks.
  uint64_t isolationGateUntilUs = 0;
  uint64_t isolationCheckedAtUs = 0;
  uint64_t isolationGiveUpUntilUs = 0;

  // Text focus held back for later.
  std::optional<PendingFocus> pendingInitialFocus;
  std::optional<PendingFocus> dragHeldFocus;
};

}  // namespace vela
