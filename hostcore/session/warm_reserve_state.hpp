#pragma once
// Session state: the warm reserve. A bundle handed in by the owner before the hello, and what this
// session's engines run at, for a later session of the same device to resume. Guarded by the session
// mutex.
#include <cstdint>
#include <optional>

#include "hostcore/session/warm_engine_bundle.hpp"

namespace vela {

struct WarmReserveState {
  std::optional<WarmEngineBundle> pendingWarmBundle;  // from a parked session, taken by the hello
  int64_t pendingHelloW = 0;  // the hello's window size
  int64_t pendingHelloH = 0;
  bool parkedWarm = false;          // teardown parked the engines running
  bool enginesSurrendered = false;  // the parked engines went to another session
  int64_t warmPxW = 0;  // what the engines run at, recorded by engine setup
  int64_t warmPxH = 0;
  int64_t warmFps = 0;
  int64_t warmHelloW = 0;
  int64_t warmHelloH = 0;
  uint32_t warmDisplayID = 0;
};

}  // namespace vela
