#pragma once
// Message-type constants of every channel. Values are unique within a channel, not across channels
// (0x10 is resizeRequest on control and chunk on video). A receiver ignores a type it does not handle.
#include <cstdint>

namespace vela {

namespace ControlType {
inline constexpr uint8_t flowBind = 0x00;        // header only: binds a datagram flow and keeps it alive
inline constexpr uint8_t clientHello = 0x01;
inline constexpr uint8_t hostHello = 0x02;
inline constexpr uint8_t ping = 0x03;
inline constexpr uint8_t pong = 0x04;
inline constexpr uint8_t bye = 0x05;
inline constexpr uint8_t probe = 0x06;
inline constexpr uint8_t probeAck = 0x07;
inline constexpr uint8_t resizeRequest = 0x10;
inline constexpr uint8_t setScale = 0x11;
inline constexpr uint8_t videoConfig = 0x12;
inline constexpr uint8_t idrRequest = 0x13;
inline constexpr uint8_t ltrAck = 0x14;
inline constexpr uint8_t cursorImage = 0x15;
inline constexpr uint8_t cursorSet = 0x16;
inline constexpr uint8_t telemetry = 0x18;       // reserved: no record, no handler
inline constexpr uint8_t clientState = 0x1A;
inline constexpr uint8_t login = 0x1B;
inline constexpr uint8_t textFocus = 0x1C;
inline constexpr uint8_t transitionHint = 0x1D;
inline constexpr uint8_t clientLog = 0x1E;
inline constexpr uint8_t clientPath = 0x1F;
inline constexpr uint8_t micControl = 0x21;
inline constexpr uint8_t camControl = 0x22;
inline constexpr uint8_t camConfig = 0x23;
inline constexpr uint8_t camQuality = 0x24;
inline constexpr uint8_t micQuality = 0x25;
inline constexpr uint8_t streamBuffer = 0x26;
inline constexpr uint8_t e2eHello = 0x27;
inline constexpr uint8_t e2eAck = 0x28;
inline constexpr uint8_t lockState = 0x29;
inline constexpr uint8_t clipboard = 0x2A;       // reserved: no record, no handler
inline constexpr uint8_t clipAnnounce = 0x2B;
inline constexpr uint8_t clipRequest = 0x2C;
inline constexpr uint8_t clipData = 0x2D;
inline constexpr uint8_t mbbAttach = 0x2E;
inline constexpr uint8_t mbbPromote = 0x2F;
inline constexpr uint8_t forcePath = 0x30;
inline constexpr uint8_t switchInfo = 0x31;
}  // namespace ControlType

namespace VideoType {
inline constexpr uint8_t chunk = 0x10;
inline constexpr uint8_t nack = 0x11;
inline constexpr uint8_t parity = 0x12;
inline constexpr uint8_t frameFeedback = 0x13;
inline constexpr uint8_t cursorPos = 0x17;       // reserved: no record, no handler
inline constexpr uint8_t camChunk = 0x18;
}  // namespace VideoType

namespace AudioType {
inline constexpr uint8_t pcm = 0x20;
inline constexpr uint8_t micPcm = 0x21;
}  // namespace AudioType

namespace InputReliableType {
inline constexpr uint8_t key = 0x30;
inline constexpr uint8_t text = 0x31;
inline constexpr uint8_t pointerButton = 0x32;
inline constexpr uint8_t scroll = 0x33;
inline constexpr uint8_t pencilDiscrete = 0x34;
inline constexpr uint8_t pinch = 0x35;
inline constexpr uint8_t pencilUpdate = 0x36;
}  // namespace InputReliableType

namespace InputUnreliableType {
inline constexpr uint8_t pointerMoveBatch = 0x40;
inline constexpr uint8_t pencilSampleBatch = 0x41;
inline constexpr uint8_t pointerMoveRelative = 0x42;
}  // namespace InputUnreliableType

}  // namespace vela
