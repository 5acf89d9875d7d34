#include "host/controller/port_block_search.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <set>

namespace tavlo {
namespace {

// Ports that stay busy, and UDP ports busy only for their first few probes.
struct FakePorts {
  std::set<uint32_t> busyTcp{};
  std::set<uint32_t> busyUdp{};
  std::map<uint32_t, int> busyForProbes{};
  int pauses = 0;

  PortBlockSearch search() {
    PortBlockSearch::Probe probe{[this](uint16_t p) { return !busyTcp.contains(p); },
                                 [this](uint16_t p) {
                                   if (auto it = busyForProbes.find(p); it != busyForProbes.end() && it->second > 0) {
                                     --it->second;
                                     return false;
                                   }
                                   return !busyUdp.contains(p);
                                 }};
    return PortBlockSearch(probe);
  }
};

// Tests the preferred block as its owner does, pausing (here: counting) between tests until a block is
// chosen.
PortBlockSearch::Result settle(const PortBlockSearch& search, uint16_t preferred, int& pauses) {
  for (;;) {
    if (auto result = search.test(preferred, pauses)) return *result;
    ++pauses;
  }
}

TEST(PortBlockSearch, ChoosesABlockAndSaysWhy) {
  struct Row {
    const char* why;
    FakePorts ports;
    uint16_t expectedBase;
    std::string expectedNote;
    int expectedPauses;
  };
  Row rows[] = {
      {"free at once", {}, 47700, "", 0},
      {"freed after 3 pauses", {.busyForProbes = {{47702, 3}}}, 47700,
       "blok 47700 zwolnił się po 600 ms", 3},
      {"one UDP port held for good", {.busyUdp = {47702}}, 47705, "blok 47700 zajęty przez 40 s — zajęte: 47702/udp",
       199},
      {"TCP and the probe port held, next block busy too", {.busyTcp = {47700, 47705}, .busyUdp = {47704}}, 47710,
       "blok 47700 zajęty przez 40 s — zajęte: 47700/tcp 47704/udp", 199},
      {"freed just after the waiting", {.busyForProbes = {{47701, 200}}}, 47705,
       "blok 47700 zajęty przez 40 s — zajęte: (już nic!)", 199},
  };
  for (Row& row : rows) {
    auto result = settle(row.ports.search(), 47700, row.ports.pauses);
    EXPECT_EQ(result.base, row.expectedBase) << row.why;
    EXPECT_EQ(result.note, row.expectedNote) << row.why;
    EXPECT_EQ(row.ports.pauses, row.expectedPauses) << row.why;
  }
}

TEST(PortBlockSearch, KeepsThePreferredBaseWhenNoBlockIsFreeAndNeverPassesTheLastPort) {
  FakePorts ports;
  auto find = [&](uint16_t preferred) { return settle(ports.search(), preferred, ports.pauses = 0).base; };
  for (uint32_t p = 47700; p <= 48100; p += 5) ports.busyTcp.insert(p);
  EXPECT_EQ(find(47700), 47700);
  ports.busyTcp.erase(48095);
  EXPECT_EQ(find(47700), 48095) << "the last candidate, base + 395";
  ports.busyTcp = {65526, 65527};
  EXPECT_EQ(find(65526), 65531) << "65531 to 65535 is the last block";
  EXPECT_EQ(find(65527), 65527) << "no room for another block above";
  EXPECT_FALSE(ports.search().blockIsFree(65532));
}

int boundUdpSocket(uint16_t port, bool reuse) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A free block of ten ports (two blocks) on this machine, found at run time.
uint16_t freeDoubleBlock(const PortBlockSearch& search) {
  for (uint16_t base = 41000; base < 60000; base += 10) {
    if (search.blockIsFree(base) && search.blockIsFree(base + 5)) return base;
  }
  return 0;
}

TEST(PortBlockSearch, APortAnotherProcessHoldsWithAddressReuseIsBusy) {
  int pauses = 0;
  PortBlockSearch search(PortBlockSearch::systemProbe());
  uint16_t base = freeDoubleBlock(search);
  ASSERT_NE(base, 0);
  // Held the way another program might hold it: with SO_REUSEADDR, which a probe that asked for reuse
  // itself would share silently.
  int held = boundUdpSocket(base + 2, true);
  ASSERT_GE(held, 0);
  auto result = settle(search, base, pauses);
  ::close(held);
  EXPECT_EQ(result.base, base + 5);
  EXPECT_EQ(result.note, "blok " + std::to_string(base) + " zajęty przez 40 s — zajęte: " + std::to_string(base + 2) +
                             "/udp");
  EXPECT_EQ(pauses, PortBlockSearch::preferredTests - 1);
}

}  // namespace
}  // namespace tavlo
