#include "media/mach_clock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vela {
namespace {

TEST(MachClock, TimebaseConversionTruncatesInOrder) {
  constexpr MachTimebase appleSilicon{125, 3};
  static_assert(MachClock::ticksToUs(24'000'000, appleSilicon) == 1'000'000);
  static_assert(MachClock::ticksToNs(24'000'000, appleSilicon) == 1'000'000'000);
  static_assert(MachClock::ticksToUs(1'999, {}) == 1, "each division truncates");
}

TEST(MachClock, NeverGoesBackwardsAndTracksElapsedTime) {
  uint64_t a = MachClock::nowUs();
  auto wallStart = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  uint64_t b = MachClock::nowUs();
  auto wallUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - wallStart).count();
  EXPECT_GE(b, a);
  EXPECT_GE(b - a, 20'000u);
  EXPECT_LE(b - a, uint64_t(wallUs) + 1'000);
  EXPECT_GE(MachClock::nowNs() / 1000, b);
}

}  // namespace
}  // namespace vela
