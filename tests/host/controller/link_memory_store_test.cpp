#include "host/controller/link_memory_store.hpp"

#include <gtest/gtest.h>

namespace tavlo {
namespace {

vela::LinkSnapshot snapshot(const std::string& key, int64_t bps) {
  return vela::LinkSnapshot{key, bps, true, true, bps / 2, false};
}

TEST(LinkMemoryStore, SeedsForFiftyNineSecondsAndAReplacementRestartsTheMinute) {
  FakeClock clock;
  LinkMemoryStore store(clock);
  store.record(snapshot("ipad", 8'000'000));
  clock.advanceUs(59'000'000);
  std::optional<vela::LinkSeed> seed = store.seed("ipad");
  ASSERT_TRUE(seed);
  EXPECT_EQ(seed->bps, 8'000'000);
  EXPECT_TRUE(seed->recentLoss);
  EXPECT_TRUE(seed->wan);
  EXPECT_EQ(seed->proven, 4'000'000);
  store.record(snapshot("ipad", 5'000'000));
  clock.advanceUs(1'000'000);
  ASSERT_TRUE(store.seed("ipad")) << "60 s after the first snapshot, 1 s after the second";
  EXPECT_EQ(store.seed("ipad")->bps, 5'000'000);
  clock.advanceUs(59'000'000);
  EXPECT_FALSE(store.seed("ipad")) << "60 s old no longer seeds";
  EXPECT_FALSE(store.seed("phone"));
}

TEST(LinkMemoryStore, KeepsABoundedNumberOfDevicesAndForgetsTheOldest) {
  FakeClock clock;
  LinkMemoryStore store(clock, 3);
  for (const char* key : {"a", "b", "c"}) {
    store.record(snapshot(key, 1000));
    clock.advanceUs(1000);
  }
  store.record(snapshot("a", 2000));  // "a" is now the newest
  store.record(snapshot("d", 1000));
  EXPECT_FALSE(store.seed("b"));
  EXPECT_TRUE(store.seed("a"));
  EXPECT_TRUE(store.seed("c"));
  EXPECT_TRUE(store.seed("d"));
}

TEST(LinkMemoryStore, TheDeviceJustRecordedStaysWhenOthersAreAsOld) {
  FakeClock clock;
  LinkMemoryStore store(clock, 2);
  // All three within one clock tick: the one recorded last sorts first by key.
  for (const char* key : {"b", "c", "a"}) store.record(snapshot(key, 1000));
  EXPECT_TRUE(store.seed("a")) << "the device just recorded is the newest, never the one dropped";
  EXPECT_FALSE(store.seed("b"));
  EXPECT_TRUE(store.seed("c"));
}

}  // namespace
}  // namespace tavlo
