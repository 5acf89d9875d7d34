#include "platform/input/wheel_accumulator.hpp"

namespace tavlo {

int64_t WheelAccumulator::add(int32_t pixels) {
  const int64_t total = remainder_ + pixels;
  const int64_t clicks = total / pixelsPerClick;  // toward zero: the remainder keeps the total's sign
  if (clicks > maxClicksPerEvent || clicks < -maxClicksPerEvent) {
    remainder_ = 0;
    return clicks > 0 ? maxClicksPerEvent : -maxClicksPerEvent;
  }
  remainder_ = total - clicks * pixelsPerClick;
  return clicks;
}

}  // namespace tavlo
