#include "platform/runtime/channel.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace tavlo {
namespace {

void waitForWaiters(const FakeClock& clock, int count) {
  while (clock.waiterCount() < count) std::this_thread::yield();
}

TEST(Channel, CloseFinishesTheConsumerAfterTheBufferedItems) {
  Channel<int> channel;
  channel.send(1);
  channel.send(2);
  channel.close();
  EXPECT_FALSE(channel.send(3)) << "a closed channel takes nothing";
  EXPECT_FALSE(channel.isFinished());
  EXPECT_EQ(channel.receive(), 1);
  EXPECT_EQ(channel.receive(), 2);
  EXPECT_EQ(channel.receive(), std::nullopt);
  EXPECT_TRUE(channel.isFinished());
}

TEST(Channel, CloseWakesABlockedConsumer) {
  Channel<int> channel;
  std::optional<int> got = 7;
  std::thread consumer([&] { got = channel.receive(); });
  channel.close();
  consumer.join();
  EXPECT_EQ(got, std::nullopt);
}

TEST(Channel, ASecondConsumerTakesOverWithNothingLost) {
  Channel<int> channel;
  for (int i = 0; i < 5; ++i) channel.send(i);
  EXPECT_EQ(channel.receive(), 0);
  EXPECT_EQ(channel.receive(), 1);
  std::vector<int> second;
  std::thread consumer([&] {
    while (auto item = channel.receive()) second.push_back(*item);
  });
  channel.send(5);
  channel.close();
  consumer.join();
  EXPECT_EQ(second, (std::vector<int>{2, 3, 4, 5}));
}

TEST(Channel, ConcurrentConsumersEachTakeDistinctItemsInOrder) {
  Channel<int> channel;
  constexpr int count = 10'000;
  std::vector<int> a, b;
  auto drain = [&](std::vector<int>& out) {
    while (auto item = channel.receive()) out.push_back(*item);
  };
  std::thread ta(drain, std::ref(a)), tb(drain, std::ref(b));
  for (int i = 0; i < count; ++i) channel.send(i);
  channel.close();
  ta.join();
  tb.join();
  EXPECT_EQ(a.size() + b.size(), size_t(count));
  EXPECT_TRUE(std::is_sorted(a.begin(), a.end()));
  EXPECT_TRUE(std::is_sorted(b.begin(), b.end()));
}

TEST(Channel, BoundedChannelDropsTheOldest) {
  Channel<int> channel(3);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(channel.send(i));
  EXPECT_EQ(channel.droppedCount(), 2u);
  EXPECT_EQ(channel.receive(), 2);
  EXPECT_EQ(channel.receive(), 3);
  EXPECT_EQ(channel.receive(), 4);
}

TEST(Channel, ReceiveUntilTimesOutOnTheFakeClockWithoutRealWaiting) {
  FakeClock clock;
  Channel<int> channel;
  EXPECT_EQ(channel.receiveUntil(clock, clock.nowUs()), std::nullopt) << "a past deadline returns at once";

  std::optional<int> got = 7;
  // An hour of fake time: only the advance below can end this wait.
  std::thread consumer([&] { got = channel.receiveUntil(clock, clock.nowUs() + 3'600'000'000ULL); });
  waitForWaiters(clock, 1);
  clock.advanceUs(1'000'000);
  clock.advanceUs(3'599'000'000ULL);
  consumer.join();
  EXPECT_EQ(got, std::nullopt);
  EXPECT_FALSE(channel.isFinished()) << "a time-out is not the end of the stream";
  const auto& steady = SteadyClock::shared();
  EXPECT_EQ(channel.receiveUntil(steady, steady.nowUs() + 1'000), std::nullopt) << "the steady clock times out too";
}

TEST(Channel, ReceiveUntilReturnsAnItemThatArrivesBeforeTheDeadline) {
  FakeClock clock;
  Channel<int> channel;
  std::optional<int> got;
  std::thread consumer([&] { got = channel.receiveUntil(clock, clock.nowUs() + 1'000); });
  waitForWaiters(clock, 1);
  channel.send(42);
  consumer.join();
  EXPECT_EQ(got, 42);
}

// The consumer owns the channel and destroys it the moment it sees the end; the producer's signal must
// be complete by then (ThreadSanitizer and ASan watch this one).
TEST(Channel, AConsumerMayDestroyTheChannelRightAfterTheLastItem) {
  for (int round = 0; round < 200; ++round) {
    auto channel = std::make_unique<Channel<int>>();
    Channel<int>* raw = channel.get();
    std::thread producer([raw] {
      raw->send(1);
      raw->close();
    });
    while (channel->receive()) {
    }
    channel.reset();
    producer.join();
  }
}

// A consumer without a thread of its own is told of each item and of the end, and the observer may take
// items and replace itself from inside the call: the channel's lock is not held then.
TEST(Channel, AnObserverHearsEverySendAndTheCloseOutsideTheLock) {
  Channel<int> channel;
  std::vector<int> drained;
  int calls = 0;
  channel.setObserver([&] {
    ++calls;
    while (auto item = channel.tryReceive()) drained.push_back(*item);
  });
  channel.send(1);
  channel.send(2);
  EXPECT_EQ(drained, (std::vector<int>{1, 2}));
  channel.close();
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(channel.isFinished());
  EXPECT_FALSE(channel.send(3)) << "a closed channel calls no observer either";
  EXPECT_EQ(calls, 3);

  Channel<int> replaced;
  int first = 0;
  replaced.setObserver([&] {
    ++first;
    replaced.setObserver(nullptr);
  });
  replaced.send(1);
  replaced.send(2);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(replaced.size(), 2u);
}

}  // namespace
}  // namespace tavlo
