#pragma once
// The log lines of the client's reliable input: navigation keys, arrows and modifier keys every time
// (they are what goes wrong when a remote keyboard misbehaves), and a line of each kind for the first
// eight events of a session. `eventNumber` counts from 1.
#include <cstdint>
#include <string>
#include <vector>

#include "hostcore/engines/input_event.hpp"

namespace vela {

inline constexpr int64_t inputEventsLoggedInFull = 8;

std::vector<std::string> inputLogLines(const InputEvent& event, int64_t eventNumber);

// A float in its shortest decimal form that reads back as the same value ("nan" and "inf" as such).
std::string shortestDecimal(float value);

}  // namespace vela
