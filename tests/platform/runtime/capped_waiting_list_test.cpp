// Who is pushed out when the waiting room is full: whoever holds the most, block by block, and of them
// the oldest; never a peer of a block or an address that holds fewer.
#include "platform/runtime/capped_waiting_list.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace tavlo {
namespace {

struct Item {
  std::string name;
};
using Blocks = std::vector<std::string>;

// The owner's side of a list: it keeps its items (the list holds them weakly) and closes what is displaced.
struct Room {
  explicit Room(size_t total, size_t perAddress) : list(total, perAddress) {}
  std::shared_ptr<Item> add(const Blocks& blocks, const std::string& name) {
    auto item = std::make_shared<Item>(Item{name});
    for (const auto& old : list.add(blocks, item)) {
      displaced.push_back(old->name);
      std::erase(held, old);
    }
    held.push_back(item);
    return item;
  }
  CappedWaitingList<Item> list;
  std::vector<std::shared_ptr<Item>> held;
  std::vector<std::string> displaced;
};

Blocks v4(const std::string& block, const std::string& address) { return {block + ".0/24", block + "." + address}; }

TEST(CappedWaitingList, AFullRoomPushesOutTheOldestOfTheFullestBlockAtEveryLevel) {
  Room room(10, 10);
  room.add(v4("10.0.0", "1"), "client");  // a client alone in its /24
  for (int i = 0; i < 5; ++i) room.add(v4("10.0.1", std::to_string(i + 1)), "many-" + std::to_string(i));
  room.add(v4("10.0.2", "1"), "one-a");
  room.add(v4("10.0.2", "1"), "one-b");
  room.add(v4("10.0.2", "2"), "one-c");
  room.add(v4("10.0.3", "1"), "other");
  ASSERT_TRUE(room.displaced.empty());
  // The /24 of many addresses holds the most (five against four, the newcomer counted in its own):
  // its oldest goes.
  room.add(v4("10.0.2", "3"), "new-1");
  EXPECT_EQ(room.displaced.back(), "many-0");
  // Four against four: the block whose oldest entry is older.
  room.add(v4("10.0.0", "9"), "new-2");
  EXPECT_EQ(room.displaced.back(), "many-1");
  // 10.0.2 holds the most; in it, the address with two entries, its oldest.
  room.add(v4("10.0.3", "2"), "new-3");
  EXPECT_EQ(room.displaced.back(), "one-a");
  EXPECT_EQ(room.displaced.size(), 3u);
  EXPECT_EQ(room.list.size(), 10u);
}

TEST(CappedWaitingList, OneAddressFloodingItsOwnBlockPushesOutOnlyItselfOldestFirst) {
  struct Row {
    Blocks flood;
    Blocks client;
    const char* why;
  };
  const Row rows[] = {
      {v4("127.0.0", "2"), v4("127.0.0", "1"), "a neighbour in the client's /24"},
      {v4("127.0.0", "1"), v4("127.0.0", "1"), "the client's own address: its entry is newer than what goes"},
      {{"2001:db8:5::/48", "2001:db8:5:6::/64", "2001:db8:5:6::9"},
       {"2001:db8:5::/48", "2001:db8:5:6::/64", "2001:db8:5:6::1"},
       "a neighbour in the client's IPv6 /64"},
      {{"2001:db8:5::/48", "2001:db8:5:7::/64", "2001:db8:5:7::1"},
       {"2001:db8:5::/48", "2001:db8:5:6::/64", "2001:db8:5:6::1"},
       "another /64 of the client's /48"},
  };
  for (const Row& row : rows) {
    Room room(16, 16);
    for (int i = 0; i < 12; ++i) room.add(row.flood, "flood");
    room.add(row.client, "client");
    for (int i = 0; i < 3; ++i) room.add(row.flood, "flood");  // the room is full: 16
    for (int i = 0; i < 100; ++i) {
      room.add(row.flood, "flood");
      if (i < 8) {
        ASSERT_EQ(room.displaced.back(), "flood") << row.why;
      }
    }
    if (row.flood == row.client) {
      // One address: old entries go first, and the client's, once 15 newer ones came, goes too.
      EXPECT_EQ(std::count(room.displaced.begin(), room.displaced.end(), "client"), 1) << row.why;
    } else {
      EXPECT_EQ(std::count(room.displaced.begin(), room.displaced.end(), "client"), 0) << row.why;
    }
    EXPECT_EQ(room.list.size(), 16u) << row.why;
  }
}

TEST(CappedWaitingList, AnAddressOverItsCapPushesOutItsOwnOldestAndForgottenOrGoneItemsStopCounting) {
  Room room(64, 2);
  room.add({"a"}, "a1");
  room.add({"b"}, "b1");
  room.add({"a"}, "a2");
  room.add({"a"}, "a3");
  EXPECT_EQ(room.displaced, (std::vector<std::string>{"a1"}));
  room.list.forget(room.held.back());  // a3 was let in
  room.add({"a"}, "a4");
  EXPECT_EQ(room.displaced.size(), 1u) << "a forgotten item holds no place";
  room.held.erase(room.held.begin());  // b1 went away without being forgotten
  EXPECT_EQ(room.list.size(), 2u);
  auto all = room.list.takeAll();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]->name, "a2") << "oldest first";
  EXPECT_EQ(room.list.size(), 0u);
}

TEST(CappedWaitingList, ReAddingAnItemMovesItInsteadOfCountingItTwice) {
  Room room(4, 4);
  auto item = room.add({"x"}, "x");
  room.list.add(Blocks{"y"}, item);
  EXPECT_EQ(room.list.size(), 1u);
  for (int i = 0; i < 3; ++i) room.add({"z"}, "z");
  room.add({"z"}, "z-new");
  EXPECT_EQ(room.displaced, (std::vector<std::string>{"z"}));
}

}  // namespace
}  // namespace tavlo
