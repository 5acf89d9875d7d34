#pragma once
// Puts a rig's session where engine setup leaves it, without the hello's own steps: a display of the
// fake provider, a capture engine running on it, an encoder, the geometry and the warm-resume record,
// a device key and a video configuration sent. Tests of what happens to a streaming session (teardown,
// reconfiguration) start here.
#include <string>

#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela::testkit {

struct StreamingSetup {
  int64_t width = 1280;
  int64_t height = 720;
  std::string deviceKey = "studio-ipad#wifi";
  bool configSent = true;
};

// What setup made (the engines are also in the session's state).
struct StreamingEngines {
  std::shared_ptr<CaptureEngine> capture;
  std::shared_ptr<EncoderEngine> encoder;
  uint32_t displayID = 0;
};

inline StreamingEngines makeStreaming(SessionRig& rig, const StreamingSetup& setup = {}) {
  StreamingEngines made;
  auto provided = rig.display->createDisplay(setup.width, setup.height);
  made.displayID = provided ? provided->displayID : 0;
  rig.captureBackend->setDisplays({tavlo::CaptureDisplay{made.displayID, setup.width, setup.height}});
  made.capture = rig.deps.engines->makeCaptureEngine([](const CaptureEngine::PixelBuffer&, uint64_t) {});
  made.capture->start(made.displayID, setup.width, setup.height, 60, false, false);
  made.encoder = rig.makeEncoder(setup.width, setup.height);
  rig.probe([&](SessionState& s) {
    s.identity.sessionId = 77;
    s.identity.linkDeviceKey = setup.deviceKey.empty() ? std::nullopt : std::optional(setup.deviceKey);
    s.engines.capture = made.capture;
    s.engines.encoder = made.encoder;
    s.engines.providedDisplay = provided;
    s.send.configSent = setup.configSent;
    s.geometry.baseW = setup.width;
    s.geometry.baseH = setup.height;
    s.geometry.currentPw = setup.width;
    s.geometry.currentPh = setup.height;
    s.warm = WarmReserveState{};
    s.warm.warmPxW = setup.width;
    s.warm.warmPxH = setup.height;
    s.warm.warmFps = 60;
    s.warm.warmHelloW = setup.width;
    s.warm.warmHelloH = setup.height;
    s.warm.warmDisplayID = made.displayID;
  });
  return made;
}

}  // namespace vela::testkit
