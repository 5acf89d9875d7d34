#include "protocol/clipboard/clip_fetch_rendezvous.hpp"

#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <thread>

#include "platform/runtime/private_files.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace vela {
namespace {

using tavlo::FakeClock;
using tavlo::toBytes;

TEST(ClipPayload, ReadDataGivesTheBytesOrNothingForAnUnreadableFile) {
  tavlo::testkit::TempDir dir;
  ASSERT_FALSE(tavlo::writeFileAtomically(dir / "a.txt", toBytes("file body")));
  EXPECT_EQ(ClipPayload::memory(toBytes("abc")).readData(), toBytes("abc"));
  EXPECT_EQ(ClipPayload::file(dir / "a.txt").readData(), toBytes("file body"));
  EXPECT_EQ(ClipPayload::file(dir / "missing").readData(), std::nullopt) << "a removed file";
  EXPECT_EQ(ClipPayload::file(dir.path()).readData(), std::nullopt) << "a directory is not an item's body";

  auto shared = ClipPayload::memory(toBytes("xyz"));
  auto copy = shared;
  EXPECT_EQ(copy.bytes().data(), shared.bytes().data()) << "copies share one buffer";
  EXPECT_EQ(copy, ClipPayload::memory(toBytes("xyz")));
  EXPECT_NE(ClipPayload::file("/a"), ClipPayload::memory({}));
}

TEST(ClipFetchRendezvous, ADeliveryFromTheRequestItselfIsNotMissed) {
  FakeClock clock;
  ClipFetchRendezvous rendezvous(clock);
  auto payload = ClipPayload::memory(toBytes("pasted"));
  auto got = rendezvous.fetch(5, 600, [&] { rendezvous.deliver(5, payload); });
  EXPECT_EQ(got, payload);
  EXPECT_EQ(rendezvous.waitingCount(), 0u);
}

TEST(ClipFetchRendezvous, AnAbandonedFetchReturnsNothingAtOnceWithoutWaitingOutItsTime) {
  FakeClock clock;  // never advanced: only the abandonment can end the waits
  ClipFetchRendezvous rendezvous(clock);
  auto waitFor = [&](uint64_t id) {
    return std::async(std::launch::async, [&, id] { return rendezvous.fetch(id, 600, nullptr); });
  };
  auto one = waitFor(1), other = waitFor(2);
  while (rendezvous.waitingCount() < 2) std::this_thread::yield();
  rendezvous.abandon(1);
  EXPECT_EQ(one.get(), std::nullopt);
  EXPECT_EQ(other.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout) << "only that id";
  EXPECT_FALSE(rendezvous.deliver(1, ClipPayload::memory({}))) << "nobody takes what comes after";

  auto third = waitFor(3);
  while (rendezvous.waitingCount() < 2) std::this_thread::yield();
  rendezvous.abandonAll();
  EXPECT_EQ(other.get(), std::nullopt);
  EXPECT_EQ(third.get(), std::nullopt);
  EXPECT_EQ(rendezvous.waitingCount(), 0u);
  EXPECT_EQ(rendezvous.fetch(4, 600, [&] { EXPECT_TRUE(rendezvous.deliver(4, ClipPayload::memory({7}))); }),
            ClipPayload::memory({7}))
      << "a fetch that starts afterwards waits as before";
}

TEST(ClipFetchRendezvous, TimesOutWithNothingAndForgetsTheId) {
  FakeClock clock;
  ClipFetchRendezvous rendezvous(clock);
  std::promise<void> requested;
  auto fetched = std::async(std::launch::async, [&] {
    return rendezvous.fetch(9, 0.1, [&] { requested.set_value(); });
  });
  requested.get_future().wait();
  clock.advanceUs(99'999);
  EXPECT_EQ(fetched.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout) << "not yet";
  clock.advanceUs(1);
  EXPECT_EQ(fetched.get(), std::nullopt);
  EXPECT_EQ(rendezvous.waitingCount(), 0u);

  rendezvous.deliver(9, ClipPayload::memory({}));  // late: nobody waits, nothing is kept
  auto again = rendezvous.fetch(9, 0, nullptr);
  EXPECT_EQ(again, std::nullopt) << "a stale delivery is never handed to a later fetch";
}

TEST(ClipFetchRendezvous, APayloadThereWhenTheTimeRanOutIsReturned) {
  FakeClock clock;
  ClipFetchRendezvous rendezvous(clock);
  auto payload = ClipPayload::file("/tmp/tl-clip/x");
  // The request lets the whole timeout pass and only then delivers.
  auto got = rendezvous.fetch(3, 1.0, [&] {
    clock.advanceUs(2'000'000);
    rendezvous.deliver(3, payload);
  });
  EXPECT_EQ(got, payload);
}

TEST(ClipFetchRendezvous, TwoFetchesOfOneIdNeitherStealNorStrand) {
  FakeClock clock;
  ClipFetchRendezvous rendezvous(clock);
  auto payload = ClipPayload::memory(toBytes("shared"));

  std::latch bothRegistered(2);
  auto shortWait = std::async(std::launch::async, [&] { return rendezvous.fetch(7, 1.0, [&] { bothRegistered.count_down(); }); });
  auto longWait = std::async(std::launch::async, [&] { return rendezvous.fetch(7, 10.0, [&] { bothRegistered.count_down(); }); });
  bothRegistered.wait();

  clock.advanceUs(1'000'000);
  EXPECT_EQ(shortWait.get(), std::nullopt) << "the first times out on its own";
  EXPECT_EQ(rendezvous.waitingCount(), 1u) << "and does not take the other's registration with it";
  rendezvous.deliver(7, payload);
  EXPECT_EQ(longWait.get(), payload);

  std::latch registeredAgain(2);
  auto a = std::async(std::launch::async, [&] { return rendezvous.fetch(8, 10.0, [&] { registeredAgain.count_down(); }); });
  auto b = std::async(std::launch::async, [&] { return rendezvous.fetch(8, 10.0, [&] { registeredAgain.count_down(); }); });
  registeredAgain.wait();
  rendezvous.deliver(8, payload);
  EXPECT_EQ(a.get(), payload) << "one delivery wakes every fetch of its id";
  EXPECT_EQ(b.get(), payload);
}

TEST(ClipFetchRendezvous, FetchesOfDifferentIdsWaitIndependently) {
  FakeClock clock;
  ClipFetchRendezvous rendezvous(clock);
  std::latch registered(2);
  auto one = std::async(std::launch::async, [&] { return rendezvous.fetch(1, 5.0, [&] { registered.count_down(); }); });
  auto two = std::async(std::launch::async, [&] { return rendezvous.fetch(2, 5.0, [&] { registered.count_down(); }); });
  registered.wait();
  rendezvous.deliver(2, ClipPayload::memory(toBytes("2")));
  EXPECT_EQ(two.get(), ClipPayload::memory(toBytes("2")));
  EXPECT_EQ(rendezvous.waitingCount(), 1u);
  clock.advanceUs(5'000'000);
  EXPECT_EQ(one.get(), std::nullopt);
}

}  // namespace
}  // namespace vela
