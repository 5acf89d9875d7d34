#pragma once
// The client's one-way-delay verdict, carried as the delaySignal byte of each frame feedback.
#include <cstdint>

namespace vela {

enum class DelaySignal : uint8_t { noData = 0, normal = 1, overuse = 2, underuse = 3 };

// A byte that names no verdict (a newer client, a corrupted report) reads as noData: the delay loop
// then holds instead of acting on a value it does not understand.
constexpr DelaySignal delaySignalFromByte(uint8_t byte) {
  return byte <= 3 ? static_cast<DelaySignal>(byte) : DelaySignal::noData;
}

}  // namespace vela
