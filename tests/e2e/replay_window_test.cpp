// The set of recent nonces that keeps a copy of a sealed packet from being taken twice, and the
// nonces an end seals with, which let it know its own packets when they are sent back at it.
#include <gtest/gtest.h>

#include "e2e/replay_window.hpp"
#include "e2e/seal_nonces.hpp"
#include "platform/crypto/random_bytes.hpp"

namespace vela {
namespace {

using Nonce = E2EEnvelope::Nonce;

std::vector<Nonce> randomNonces(size_t count) {
  std::vector<Nonce> nonces(count);
  for (auto& nonce : nonces) nonce = tavlo::crypto::randomArray<E2EEnvelope::nonceSize>();
  return nonces;
}

// Many times round the ring: every one of the newest `capacity` stays refused through all the
// evictions before it, and the oldest are forgotten first.
TEST(ReplayWindow, RefusesEveryCopyOfTheNewestAndForgetsTheOldestFirst) {
  ReplayWindow window;
  const size_t capacity = ReplayWindow::datagramCapacity;
  const size_t total = 3 * capacity + 123;
  auto nonces = randomNonces(total);
  for (const Nonce& nonce : nonces) ASSERT_TRUE(window.takeForDelivery(nonce));
  EXPECT_EQ(window.size(), capacity) << "bounded";
  EXPECT_FALSE(window.full()) << "a forgetting window always takes a new nonce";
  size_t refused = 0;
  for (size_t i = total - capacity; i < total; ++i) refused += !window.takeForDelivery(nonces[i]);
  EXPECT_EQ(refused, capacity);
  EXPECT_TRUE(window.takeForDelivery(nonces[total - capacity - 1])) << "just past the bound";
}

// The reliable channels' set forgets nothing: once full it takes no new nonce (its owner ends the
// session then), and every nonce it took stays refused.
TEST(ReplayWindow, ARefusingSetKeepsEveryNonceAndTakesNothingNewOnceFull) {
  const size_t capacity = 5000;
  ReplayWindow set(capacity, ReplayWindow::WhenFull::refuse);
  auto nonces = randomNonces(capacity + 2);
  for (size_t i = 0; i < capacity; ++i) {
    ASSERT_FALSE(set.full());
    ASSERT_TRUE(set.takeForDelivery(nonces[i]));
  }
  EXPECT_TRUE(set.full());
  EXPECT_FALSE(set.takeForDelivery(nonces[capacity])) << "no room, and nothing is forgotten to make some";
  EXPECT_FALSE(set.claimForAdoption(nonces[capacity + 1]));
  size_t refused = 0;
  for (size_t i = 0; i < capacity; ++i) refused += !set.takeForDelivery(nonces[i]);
  EXPECT_EQ(refused, capacity) << "the oldest as well as the newest";
  EXPECT_EQ(set.size(), capacity);
}

TEST(ReplayWindow, ANonceProvesANewAddressOnlyWhenNeverSeenAndIsThenDeliveredOnce) {
  ReplayWindow window;
  auto nonces = randomNonces(2);
  EXPECT_TRUE(window.claimForAdoption(nonces[0]));
  EXPECT_FALSE(window.claimForAdoption(nonces[0])) << "a second copy from another address";
  EXPECT_TRUE(window.takeForDelivery(nonces[0])) << "the datagram that proved it";
  EXPECT_FALSE(window.takeForDelivery(nonces[0]));
  EXPECT_TRUE(window.takeForDelivery(nonces[1]));
  EXPECT_FALSE(window.claimForAdoption(nonces[1])) << "taken on the old address first";
}

TEST(SealNonces, AreUniqueAndKnownOnlyToTheEndThatIssuedThem) {
  SealNonces mine, theirs;
  Nonce first = mine.next(), second = mine.next();
  EXPECT_NE(first, second);
  EXPECT_TRUE(mine.isOwn(first));
  EXPECT_TRUE(mine.isOwn(second));
  EXPECT_FALSE(theirs.isOwn(first));
  EXPECT_FALSE(mine.isOwn(theirs.next()));
  EXPECT_FALSE(mine.isOwn(randomNonces(1)[0]));
  Nonce ahead = second;
  ahead[4] += 1;  // my prefix, a counter not issued yet
  EXPECT_FALSE(mine.isOwn(ahead));
}

}  // namespace
}  // namespace vela
