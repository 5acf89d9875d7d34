// The client's camera and microphone: the on/off and quality messages, the state a device starts a
// session in, the evaluation of how well each uplink keeps up (with the rung it leads to and the rung
// memory of the device), and the camera stream's configuration.
#include <string>

#include "hostcore/session/device_uplink.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "media/cam_decoder.hpp"
#include "protocol/camera_mic_messages.hpp"

namespace vela {

namespace {
const char* onOff(bool on) { return on ? "ON" : "OFF"; }
// A missing consumption callback counts as a consumer.
bool consumed(const std::function<bool()>& isConsumed) { return !isConsumed || isConsumed(); }
}  // namespace

void HostSession::queueCamControl(Locked& locked, bool enabled) {
  locked->media.lastCamOn = enabled;
  locked.sendControl(CamControl{enabled});
  locked.log(std::string("📷 CAM_CONTROL → ") + onOff(enabled));
}

void HostSession::queueMicControl(Locked& locked, bool enabled) {
  locked->media.lastMicOn = enabled;
  locked.sendControl(MicControl{enabled});
  locked.log(std::string("🎙 MIC_CONTROL → ") + onOff(enabled));
}

void HostSession::queueCamQuality(Locked& locked, int64_t levelIdx) {
  const auto quality =
      CamQuality::forLevel(static_cast<int>(std::clamp<int64_t>(levelIdx, 0, DeviceUplink::cameraTopRung)));
  locked->media.lastCamQualityIdx = levelIdx;
  locked.sendControl(quality);
  locked.log("📷 CAM_QUALITY → " + std::to_string(quality.maxWidth) + "p@" + std::to_string(quality.fps) + " " +
             std::to_string(quality.bitrateKbps) + "k");
}

void HostSession::queueMicQuality(Locked& locked, int64_t levelIdx) {
  const auto quality =
      MicQuality::forLevel(static_cast<int>(std::clamp<int64_t>(levelIdx, 0, DeviceUplink::micTopRung)));
  locked->media.lastMicQualityIdx = levelIdx;
  locked.sendControl(quality);
  locked.log("🎙 MIC_QUALITY → " + std::to_string(quality.bitrateKbps) + "k");
}

void HostSession::sendCamControl(bool enabled) {
  Locked locked(*this);
  queueCamControl(locked, enabled);
}

void HostSession::sendMicControl(bool enabled) {
  Locked locked(*this);
  queueMicControl(locked, enabled);
}

void HostSession::sendCamQuality(int64_t levelIdx) {
  Locked locked(*this);
  queueCamQuality(locked, levelIdx);
}

void HostSession::sendMicQuality(int64_t levelIdx) {
  Locked locked(*this);
  queueMicQuality(locked, levelIdx);
}

bool HostSession::clientMicCapable() const {
  Locked locked(*this);
  return locked->media.clientMicCapable;
}

bool HostSession::clientCamCapable() const {
  Locked locked(*this);
  return locked->media.clientCamCapable;
}

void HostSession::sendInitialDeviceState() {
  bool micCapable = false, camCapable = false;
  std::string key;
  int64_t bufferMs = 0;
  {
    Locked locked(*this);
    bufferMs = locked->media.streamBufferMs;
    micCapable = locked->media.clientMicCapable;
    camCapable = locked->media.clientCamCapable;
    key = locked->identity.linkDeviceKey.value_or("");
  }
  sendStreamBuffer(bufferMs);
  // The rung memory is never read while the session mutex is held.
  const auto& memory = *deps_.rungMemory;
  const int64_t micLevel = DeviceUplink::startingRung(memory.rung(RungMemory::Device::microphone, key));
  const int64_t camLevel = DeviceUplink::startingRung(memory.rung(RungMemory::Device::camera, key));
  auto cb = callbacks();
  if (micCapable) {
    const bool wanted = consumed(cb->isMicConsumed);
    Locked locked(*this);
    queueMicControl(locked, wanted);
    locked->media.mediaGateMic = wanted;
    locked->media.micQualityIdx = wanted ? micLevel : -1;
    if (wanted) queueMicQuality(locked, micLevel);
  }
  if (camCapable) {
    const bool wanted = consumed(cb->isCamConsumed);
    Locked locked(*this);
    queueCamControl(locked, wanted);
    locked->media.mediaGateCam = wanted;
    locked->media.camQualityIdx = wanted ? camLevel : -1;
    if (wanted) queueCamQuality(locked, camLevel);
  }
}

void HostSession::evaluateUplinks() {
  auto cb = callbacks();
  // The consumption callbacks are the owner's: asked before the mutex is taken.
  const bool micConsumed = consumed(cb->isMicConsumed);
  const bool camConsumed = consumed(cb->isCamConsumed);
  std::optional<int64_t> camRemember, micRemember;
  std::string key;
  {
    Locked locked(*this);
    auto& media = locked->media;
    const uint64_t now = nowUs();
    const uint64_t reliefUntil = locked->adaptation.reliefChronicUntilUs;
    const auto mic = DeviceUplink::evaluateMicrophone(media, media.clientMicCapable && micConsumed, now, reliefUntil);
    const auto cam = DeviceUplink::evaluateCamera(media, media.clientCamCapable && camConsumed, now, reliefUntil,
                                                  deps_.processFlags.camLadderLegacy);
    if (mic.control) queueMicControl(locked, *mic.control);
    if (cam.control) queueCamControl(locked, *cam.control);
    if (cam.quality) queueCamQuality(locked, *cam.quality);
    if (mic.quality) queueMicQuality(locked, *mic.quality);
    camRemember = cam.quality;
    micRemember = mic.quality;
    key = locked->identity.linkDeviceKey.value_or("");
  }
  if (camRemember) deps_.rungMemory->remember(RungMemory::Device::camera, key, *camRemember);
  if (micRemember) deps_.rungMemory->remember(RungMemory::Device::microphone, key, *micRemember);
}

// The client describes its camera stream (size, rate, parameter sets); each description replaces the
// decoder. A decoder that cannot be made leaves the camera's chunks counted but not decoded.
void HostSession::handleCamConfig(const CamConfig& config) {
  std::shared_ptr<CamDecoder> decoder = CamDecoder::create(config.width, config.height, config.hvcc);
  std::shared_ptr<CamDecoder> replaced;  // let go of after the release
  Locked locked(*this);
  auto& media = locked->media;
  replaced = std::exchange(media.camDecoder, decoder);
  media.camCfgW = config.width;
  media.camCfgH = config.height;
  media.camCfgFps = config.fps;
  media.camParts.clear();
  media.camFrameBytes = 0;
  media.camFrameCompleted = false;  // the new decoder waits for a keyframe anyway
  media.camLossPending = false;
  if (!decoder) {
    locked.log("📷 ❌ CAM_CONFIG: dekoder nie powstał");
  } else {
    locked.log("📷 CAM_CONFIG: dekoder " + std::to_string(config.width) + "×" + std::to_string(config.height) + "@" +
               std::to_string(config.fps) + " gotowy (hvcC " + std::to_string(config.hvcc.size()) + "B)");
  }
}

}  // namespace vela
