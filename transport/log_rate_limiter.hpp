#pragma once
// A budget for log lines that a peer can provoke at will (every new source address that sends junk
// makes a few): at most `linesPerWindow` lines in each window of `windowUs`; the rest are counted and
// the count goes with the next line written, so the log says how much it left out without growing
// with the peer's traffic. The caller asks before it builds a line, so a line held back costs nothing
// but the count. Not thread-safe: the owner guards it with its own mutex.
#include <cstdint>
#include <optional>
#include <string>

namespace vela {

class LogRateLimiter {
 public:
  LogRateLimiter(uint64_t windowUs, uint32_t linesPerWindow) : windowUs_(windowUs), linesPerWindow_(linesPerWindow) {}

  // Whether a line may be written now: nothing when it is held back, else the text that ends it,
  // " (pominięto N podobnych)" when N lines were held back since the last one written, or empty.
  std::optional<std::string> admit(uint64_t nowUs);
  uint64_t heldBack() const { return heldBack_; }

 private:
  const uint64_t windowUs_;
  const uint32_t linesPerWindow_;
  uint64_t windowStartUs_ = 0;
  bool started_ = false;
  uint32_t written_ = 0;  // in the current window
  uint64_t heldBack_ = 0;  // since the last line written
};

}  // namespace vela
