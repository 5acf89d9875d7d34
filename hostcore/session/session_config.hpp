#pragma once
// What the owner builds a session with: the client's transport, the shared display provider, the host
// name and the stream settings of the moment.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "hostcore/engines/display_providing.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/transport_interfaces.hpp"

namespace vela {

struct SessionConfig {
  std::shared_ptr<SessionTransport> transport;  // the client's (usually encrypting) transport
  std::shared_ptr<DisplayProviding> display;    // shared by every session of the process
  std::string hostName;                         // sent in the host hello
  int64_t targetFps = 60;                       // clamped to 24…60
  bool useTapAudio = false;
  bool mirror = false;                          // stream the main display instead of a virtual one
  bool setAsMain = true;
  double initialScale = 1.0;                    // clamped to 1.0…2.0
  bool isolateDisplays = true;
  bool keyframeAdaptive = true;
  double keyframeFixedSec = 2.0;                // clamped to 0.1…10 s
  bool force1x = false;
  std::function<double(const std::string& clientKey)> scaleForDevice;
  tavlo::LogSink onLog;
};

}  // namespace vela
