#pragma once
// What applications see of the virtual camera: one video source, 1280×720 BGRx at 30 frames a second.
// The node name is the device identifier; the host's feeder finds the same identifier in the mailbox.
#include "devices/shared/cam_mailbox.hpp"
#include "devices/shared/device_identifiers.hpp"
#include "platform/pipewire/pipewire_context.hpp"

namespace tavlo::camdevice {

inline constexpr const char* kDeviceUid = deviceids::kCameraUid;
inline constexpr const char* kName = "Tavlo Camera";
inline constexpr const char* kManufacturer = "Tavlo";
inline constexpr uint32_t kFramesPerSecond = 30;

inline NodeProperties nodeProperties() {
  return {{"node.name", kDeviceUid},
          {"node.description", kName},
          {"node.nick", kName},
          {"device.vendor.name", kManufacturer},
          {"device.product.name", kName},
          {"node.virtual", "true"},
          {"application.name", "tavlo-camd"}};
}

}  // namespace tavlo::camdevice
