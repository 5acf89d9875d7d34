#pragma once
// The identifiers by which the host finds the virtual devices: the camera's is written into the camera
// mailbox by the camera daemon, the microphone's is the name of the source node the microphone daemon
// publishes (the audio server's unique source name).
namespace tavlo::deviceids {

inline constexpr const char* kCameraUid = "TavloCam_UID";
inline constexpr const char* kMicrophoneUid = "TavloMic_UID";

}  // namespace tavlo::deviceids
