#include "hostcore/session/session_tunables.hpp"

#include "platform/runtime/checked_number.hpp"
#include "platform/runtime/json_store.hpp"

namespace vela {

SessionTunables SessionTunables::read(const tavlo::Settings& settings) {
  SessionTunables t;
  auto readBool = [&](const char* key, bool& field) { field = settings.getBool(key).value_or(field); };
  auto readDouble = [&](const char* key, double& field) { field = settings.getDouble(key).value_or(field); };

  readDouble("tl.lossShrinkGain", t.lossShrinkGain);
  readBool("tl.lossShrink", t.lossShrinkEnabled);
  readBool("tl.lossShrinkResidual", t.lossShrinkResidual);
  readBool("tl.radioTolerant", t.radioTolerantEnabled);
  if (auto mbps = settings.getDouble("tl.kfAmpleMinMbps")) {
    if (auto bps = tavlo::truncateChecked<int64_t>(*mbps * 1'000'000)) t.kfAmpleMinBps = *bps;
  }
  readBool("tl.kfShortOnAmple", t.kfShortOnAmpleEnabled);
  readBool("tl.fecProp", t.fecPropEnabled);
  readDouble("tl.fecPropGain", t.fecPropGain);
  readDouble("tl.fecPropCeil", t.fecPropCeil);
  readDouble("tl.fecPropFloor", t.fecPropFloor);
  readDouble("tl.fecIdrFloor", t.fecIdrFloor);
  t.kfFecThresh = settings.getInt("tl.kfFecThreshChunks").value_or(t.kfFecThresh);
  readDouble("tl.kfFecRampChunks", t.kfFecRamp);
  if (auto pct = settings.getDouble("tl.kfFecMaxPct")) t.kfFecMax = *pct / 100;
  if (auto frames = settings.getInt("tl.kfOveruseSuppressFrames"); frames && *frames >= 0 && *frames <= UINT32_MAX)
    t.kfOveruseSuppressFrames = static_cast<uint32_t>(*frames);
  readBool("tl.suppressKeyframeOveruse", t.suppressKeyframeOveruse);
  readBool("tl.delayCutAnchorSaturatedOnly", t.delayCutAnchorSaturatedOnly);
  readDouble("tl.sharpMinBpp", t.sharpMinBppCfg);
  readBool("tl.dynamicQp", t.dynamicQpEnabled);
  readBool("tl.keyframePacing", t.keyframePacingCfg);
  readBool("tl.softRelief", t.softReliefEnabled);
  readDouble("tl.softSeedSec", t.softSeedSec);
  // Read as a plain number: missing or of another type reads 0, which is below the minimum.
  if (double budget = settings.getDouble("tl.encBudgetPxFps").value_or(0); budget >= minEncBudgetPxFps)
    t.encBudgetPxFps = budget;
  return t;
}

}  // namespace vela
