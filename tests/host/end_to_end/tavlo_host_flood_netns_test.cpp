// The built tavlo-host on a private dummy Xorg inside a network namespace of the test's own, whose
// loopback carries IPv6 addresses of one /48, flooded with bare connections that never say a word:
// from neighbours in the honest client's own /64, and from many /64s of its /48 (a rented block). The
// honest client (seen from its address in 2001:db8:5:6::/64) waits a round trip between its connection
// and its flows; it still agrees a key, within the bounds of threads and memory of every flood.
#include <gtest/gtest.h>
#include <sys/resource.h>

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
constexpr auto maxFloodDuration = 40s;
constexpr size_t maxFloodHeld = 4'000;
// The host's (and so the honest client's) address: the kernel answers a connection to an address of
// the loopback from that same address.
constexpr const char* hostAddress = "2001:db8:5:6::100";

struct Ipv6Flood {
  const char* name;
  std::vector<std::string> sources;
  int connectsPerSecond;
  std::chrono::milliseconds roundTrip;
};

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

class TavloHostIpv6Flood : public ::testing::TestWithParam<Ipv6Flood> {
 protected:
  void SetUp() override {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_cur, rlim_t(maxFloodHeld + 256)) << "the hard descriptor limit is too low";
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
  const Ipv6Flood& flood = GetParam();
  HostProcess& host = *started->process;
  const uint16_t base = started->base;
  std::string error;
  const int keyedCalm = keyedClients(hostAddress, base, started->key, flood.roundTrip, honestClients, &error);
  host.drainOutput();
  for (auto until = std::chrono::steady_clock::now() + 10s;
       figuresOf(host.pid()).threads > before.threads + 2 && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(100ms);

  int keyedFlooded = 0;
  double rate = 0;
  uint64_t connects = 0;
  ProcessFigures floodAlone;
  ProcessFigures peak;
  {
    BareConnectFlood::Options options;
    options.sources = flood.sources;
    options.target = hostAddress;
    options.port = base;
    options.connectsPerSecond = flood.connectsPerSecond;
    options.maxHeld = maxFloodHeld;
    options.maxDuration = maxFloodDuration;
    options.host = host.pid();
    BareConnectFlood bare(options);
    std::this_thread::sleep_for(1s);
    floodAlone = bare.peak();
    keyedFlooded = keyedClients(hostAddress, base, started->key, flood.roundTrip, honestClients, &error);
    host.drainOutput();
    bare.stop();
    connects = bare.connects();
    rate = bare.rate();
    peak = bare.peak();
  }
  host.drainOutput();

  std::cout << flood.name << ": honest clients keyed " << keyedCalm << " of " << honestClients << " without the flood, "
            << keyedFlooded << " of " << honestClients << " with it (" << connects << " bare connections from "
            << flood.sources.size() << " addresses, " << int(rate) << " a second; client " << flood.roundTrip.count()
            << " ms away); threads before " << before.threads << ", peak under the flood alone " << floodAlone.threads
            << ", with the honest clients' sessions " << peak.threads << "; RSS before " << before.rssKiB / 1024
            << " MiB, peak under the flood alone " << floodAlone.rssKiB / 1024 << " MiB, with the honest clients' sessions "
            << peak.rssKiB / 1024 << " MiB" << std::endl;
  RecordProperty("keyedWithoutFlood", std::to_string(keyedCalm));
  RecordProperty("keyedUnderFlood", std::to_string(keyedFlooded));
  RecordProperty("floodConnectsPerSecond", std::to_string(int(rate)));
  RecordProperty("threadsBefore", std::to_string(before.threads));
  RecordProperty("threadsPeakFloodAlone", std::to_string(floodAlone.threads));
  RecordProperty("rssKiBBefore", std::to_string(before.rssKiB));
  RecordProperty("rssKiBPeak", std::to_string(peak.rssKiB));

  EXPECT_EQ(keyedCalm, honestClients) << error << "\n" << host.output();
  EXPECT_GE(keyedFlooded, honestClients - 1) << error << "\n" << host.output();
  EXPECT_GE(rate, 0.8 * flood.connectsPerSecond) << "the flood ran at its rate";
  EXPECT_LE(floodAlone.threads, before.threads + 8);
  if (residentSetIsMeaningful) {
    EXPECT_LT(peak.rssKiB, before.rssKiB + 64 * 1024);
  }
  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << host.output();
}

INSTANTIATE_TEST_SUITE_P(
    Netns, TavloHostIpv6Flood,
    ::testing::Values(Ipv6Flood{"EightNeighboursInTheClientsSlash64AtOneThousandASecond",
                                neighboursInTheClientsSlash64(8), 1'000, 20ms},
                      Ipv6Flood{"TwoHundredSlash64sOfItsSlash48AtFiveThousandASecond",
                                slash64sOfTheClientsSlash48(200), 5'000, 20ms}),
    [](const ::testing::TestParamInfo<Ipv6Flood>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavlo
