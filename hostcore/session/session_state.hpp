#pragma once
// Everything a session changes while it runs, in one struct guarded by the session mutex. Each concern
// has its sub-struct in a header of its own; a Part that adds state adds it to its concern's struct.
#include "hostcore/session/adaptation_state.hpp"
#include "hostcore/session/diagnostics_state.hpp"
#include "hostcore/session/engine_state.hpp"
#include "hostcore/session/geometry_state.hpp"
#include "hostcore/session/identity_state.hpp"
#include "hostcore/session/input_state.hpp"
#include "hostcore/session/keyframe_state.hpp"
#include "hostcore/session/media_devices_state.hpp"
#include "hostcore/session/retransmit_state.hpp"
#include "hostcore/session/send_path_state.hpp"
#include "hostcore/session/transport_path_state.hpp"
#include "hostcore/session/warm_reserve_state.hpp"

namespace vela {

struct SessionState {
  TransportPathState path;
  IdentityState identity;
  EngineState engines;
  WarmReserveState warm;
  KeyframeState keyframes;
  RetransmitState retransmit;
  SendPathState send;
  AdaptationState adaptation;
  GeometryState geometry;
  InputState input;
  MediaDevicesState media;
  DiagnosticsState diag;
};

}  // namespace vela
