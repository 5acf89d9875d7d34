#pragma once
// What a session reads out of the client's hello, as pure functions: the client key and the link device
// key, the display label, the physical factor of the client's panel, the stream scale a client gets and
// the sanitised window size. Nothing here takes a lock or talks to anything.
#include <cstdint>
#include <string>
#include <utility>

#include "protocol/session_messages.hpp"

namespace vela {

struct ClientHelloLimits {
  static constexpr int64_t minSide = 2;     // a display side is at least this and even
  static constexpr int64_t maxSide = 8192;  // and at most this: the largest display the host makes
  static constexpr uint16_t force1xMaxWindowSide = 8193;  // rounded down to even, still ≤ 8192
  static constexpr double physFactorLogBelow = 0.999;     // a factor under this is worth a log line
};

// The client's `deviceId`, or the platform's case name, "-" and the device name (iPad-Studio).
std::string clientKeyOf(const ClientHello& hello);
// The client key, "#" and the decimal interface hint (iPad-Studio#2).
std::string linkDeviceKeyOf(const std::string& clientKey, uint8_t ifaceHint);
// The first 8 characters of the client key (bytes, as the logs show them).
std::string shortKey(const std::string& clientKey);
// "Tavlo Mac", "Tavlo iPhone", "Tavlo iPad", "Tavlo Vision".
std::string displayLabelFor(Platform platform);

// Whether the 1:1 mode can serve the window: each side rounded down to even is at most 8192.
bool force1xAvailable(uint16_t windowPxW, uint16_t windowPxH);
// min(maxDecodePxW / windowPxW, maxDecodePxH / windowPxH, 1) when the client names a decode limit below
// 8192 (and not 0: none named) and the window has no zero side; 1.0 otherwise.
double physicalFactorOf(const ClientHello& hello);
// A Mac's scale from its backing: ×2 for a 1x screen (backing ≤ 100 %), else ×1.
double macScaleFor(uint16_t backingScalePercent);
// A remembered device scale clamped to 1.0…2.0 (NaN reads as 1.0).
double clampedDeviceScale(double scale);

// A window side as a display side: clamped to 2…8192 and rounded down to even. The hello's sizes are
// the client's word; a side of 0 or 65,535 must not reach the display provider or the encoder.
int64_t displaySideOf(uint16_t windowSide);
// A size shrunk, keeping its aspect, until it fits `maxW` × `maxH` (0 on a side: no limit on it); each
// side of a shrunk size is even and at least 2. The stream fits the client's decode limit (a stream the
// client cannot decode is no stream) and the display it is captured from.
std::pair<int64_t, int64_t> fitWithin(int64_t w, int64_t h, int64_t maxW, int64_t maxH);

}  // namespace vela
