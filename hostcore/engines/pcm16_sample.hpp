#pragma once
// One float sample of system audio (full scale ±1.0) as one sample of the session's audio block: a
// signed 16-bit integer, little-endian. The capture engine's conversion and the tap engine's share these
// steps; they differ only in how the scaled value is rounded and in what a NaN becomes.
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vela {

// 1.0 maps to this value; -1.0 to its negative.
inline constexpr float kPcm16FullScale = 32767.0f;
// The range a scaled sample is clamped to: the 16-bit range, so only values below -1.0 reach -32768.
inline constexpr float kPcm16Lowest = -32768.0f;
inline constexpr float kPcm16Highest = 32767.0f;
// Bytes of one stereo frame of the block: left then right, two bytes each.
inline constexpr size_t kPcm16StereoFrameBytes = 4;

enum class Pcm16Rounding : uint8_t {
  nearest,     // to the nearest integer (exact halves to even)
  towardZero,  // truncation
};

// Scales a sample to the 16-bit range and clamps it there. A NaN stays NaN.
inline float scaleToPcm16Range(float sample) {
  return std::clamp(sample * kPcm16FullScale, kPcm16Lowest, kPcm16Highest);
}

// The integer of a scaled sample. A NaN never reaches the conversion (it would be undefined): it becomes
// `nanValue`. The clamp again keeps any other value in range, so the cast below is always defined.
inline int16_t pcm16FromScaled(float scaled, Pcm16Rounding rounding, int16_t nanValue) {
  if (std::isnan(scaled)) return nanValue;
  const float clamped = std::clamp(scaled, kPcm16Lowest, kPcm16Highest);
  // rint rounds in the default mode (to nearest, halves to even) and, unlike nearbyint, compiles to a
  // few instructions instead of a library call; the cast truncates toward zero.
  return static_cast<int16_t>(rounding == Pcm16Rounding::nearest ? std::rint(clamped) : clamped);
}

inline void storePcm16(uint8_t* out, int16_t value) {
  const auto bits = static_cast<uint16_t>(value);
  out[0] = static_cast<uint8_t>(bits & 0xFF);
  out[1] = static_cast<uint8_t>(bits >> 8);
}

}  // namespace vela
