#include "transport/log_rate_limiter.hpp"

#include <utility>

namespace vela {

std::optional<std::string> LogRateLimiter::admit(uint64_t nowUs) {
  // The clock may start anywhere (0 in tests, the uptime in the host): the first line opens a window.
  if (!started_ || nowUs - windowStartUs_ >= windowUs_ || nowUs < windowStartUs_) {
    started_ = true;
    windowStartUs_ = nowUs;
    written_ = 0;
  }
  if (written_ >= linesPerWindow_) {
    ++heldBack_;
    return std::nullopt;
  }
  ++written_;
  if (heldBack_ == 0) return std::string();
  return " (pominięto " + std::to_string(std::exchange(heldBack_, 0)) + " podobnych)";
}

}  // namespace vela
