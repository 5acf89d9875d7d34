// The built tavlo-host on a private dummy Xorg inside a network namespace of the test's own, whose
// loopback carries IPv6 addresses of one /48, flooded with bare connections that never say a word:
// from neighbours in the honest client's own /64, and from many /64s of its /48 (a rented block). The
// honest client (seen from its address in 2001:db8:5:6::/64) waits a round trip between its connection
// and its flows; it still agrees a key, within the bounds of threads and memory of every flood.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/bare_connect_flood.hpp"
#include "tests/host/end_to_end/end_to_end_kit.hpp"
#include "tests/host/reachability/netns_kit.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using namespace endtoend;
using testkit::InNamespace;
using testkit::NetNamespace;
using testkit::runOrNote;

constexpr int honestClients = 10;
// The host's (and so the honest client's) address: the kernel answers a connection to an address of
// the loopback from that same address.
constexpr const char* hostAddress = "2001:db8:5:6::100";

std::vector<std::string> neighboursInTheClientsSlash64(int count) {
  std::vector<std::string> sources;
  for (int i = 0; i < count; ++i) sources.push_back("2001:db8:5:6::" + std::to_string(i + 1));
  return sources;
}

std::vector<std::string> slash64sOfTheClientsSlash48(int count) {
  std::vector<std::string> sources;
  char text[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(text, sizeof text, "2001:db8:5:%x::1", 0x100 + i);
    sources.push_back(text);
  }
  return sources;
}

class TavloHostIpv6Flood : public ::testing::TestWithParam<BareFlood> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(raiseDescriptorLimitFor(maxFloodHeld));
    ASSERT_TRUE(ns.created()) << ns.failure();
    // Every address of the flood and the host's, on the namespace's loopback, in one batch.
    std::ofstream batch(home / "addresses");
    batch << "link set lo up\n";
    batch << "address add " << hostAddress << "/128 dev lo\n";
    for (const std::string& source : GetParam().sources) batch << "address add " << source << "/128 dev lo\n";
    batch.close();
    std::string failures;
    ASSERT_TRUE(runOrNote(ns.exec({"ip", "-batch", (home / "addresses").string()}), failures)) << failures;
    ASSERT_TRUE(server.start()) << server.failureText();
    inside.emplace(ns);  // the host, the flood and the clients all live in the namespace from here on
    ASSERT_TRUE(inside->entered());
    std::string why;
    started = startKeyedHost(home.path() / "host", server.display(), why);
    ASSERT_TRUE(started) << why;
    std::this_thread::sleep_for(1s);  // start-up work settles first
    started->process->drainOutput();
    before = figuresOf(started->process->pid());
  }
  void TearDown() override {
    started.reset();  // the host ends before its namespace goes
    inside.reset();
  }

  NetNamespace ns{"flood6"};
  testkit::TempDir home;
  testkit::XorgServer server;
  std::optional<InNamespace> inside;
  std::optional<KeyedHost> started;
  ProcessFigures before;
};

TEST_P(TavloHostIpv6Flood, LeavesTheHonestClientKeyedWithinTheFloodBounds) {
  expectHonestClientsKeyedUnder(GetParam(), *started->process, *started, hostAddress, before, honestClients);
}

INSTANTIATE_TEST_SUITE_P(
    Netns, TavloHostIpv6Flood,
    ::testing::Values(BareFlood{"EightNeighboursInTheClientsSlash64AtOneThousandASecond",
                                neighboursInTheClientsSlash64(8), 1'000, 20ms},
                      BareFlood{"TwoHundredSlash64sOfItsSlash48AtFiveThousandASecond",
                                slash64sOfTheClientsSlash48(200), 5'000, 20ms}),
    [](const ::testing::TestParamInfo<BareFlood>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavlo
