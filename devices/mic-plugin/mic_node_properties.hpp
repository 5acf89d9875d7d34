#pragma once
// What applications see of the virtual microphone: one mono source of 32-bit floats at 48 kHz. The
// node name is the device identifier that the host's default-input guard looks for.
#include "devices/shared/device_identifiers.hpp"
#include "platform/pipewire/pipewire_context.hpp"

namespace tavlo::micdevice {

inline constexpr const char* kDeviceUid = deviceids::kMicrophoneUid;
inline constexpr const char* kName = "Tavlo Mic";
inline constexpr const char* kModelUid = "TavloMic_Model";
inline constexpr const char* kManufacturer = "Tavlo";
inline constexpr uint32_t kSampleRate = 48000;

inline NodeProperties nodeProperties() {
  return {{"node.name", kDeviceUid},
          {"node.description", kName},
          {"node.nick", kName},
          {"device.vendor.name", kManufacturer},
          {"device.product.name", kModelUid},
          {"device.form-factor", "microphone"},
          {"node.virtual", "true"},
          {"audio.channels", "1"},
          {"audio.position", "MONO"},
          {"application.name", "tavlo-micd"}};
}

}  // namespace tavlo::micdevice
