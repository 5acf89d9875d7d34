#pragma once
// Turns scroll distances in pixels into whole wheel clicks, for window systems whose wheel has only
// clicks. What does not make a whole click is kept for the next scroll, so slow trackpad scrolling
// still moves; a reversal spends the kept part first.
#include <cstdint>

namespace tavlo {

class WheelAccumulator {
 public:
  // Pixels of the client's scroll per wheel click: a desktop application scrolls about three lines,
  // some 40 pixels, per click, so the content moves about as far as it did on the client.
  static constexpr int64_t pixelsPerClick = 40;
  // The most clicks one scroll event turns into; a larger distance is cut there and its excess dropped,
  // so a wild delta cannot queue thousands of clicks.
  static constexpr int64_t maxClicksPerEvent = 50;

  // Adds a distance (positive up or left) and returns the whole clicks now due, with its sign.
  int64_t add(int32_t pixels);
  int64_t remainder() const { return remainder_; }

 private:
  int64_t remainder_ = 0;
};

}  // namespace tavlo
