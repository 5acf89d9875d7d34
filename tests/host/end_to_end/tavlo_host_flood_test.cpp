// The built tavlo-host on a private dummy Xorg, flooded from loopback.
// - With connections that complete the direct path (one TCP connect and three bind datagrams, each from
//   its own loopback address) and then never say their E2E hello: 2,000 such half-open peers. None of
//   them proves itself, so none becomes a transport: they wait in the listener's room with no thread
//   of their own, the host's threads stay as they were and its memory barely moves; afterwards an
//   honest client still agrees a key.
// - With bare TCP connections that never say a word, from many addresses of the honest client's /24 or
//   from its own address: honest clients from 127.0.0.1, each waiting a round trip between its TCP
//   connection and its flows as a client on a real network does, still agree a key, within the same
//   bounds of threads and memory.
// The figures are printed and recorded as test properties.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/runtime/base64.hpp"
#include "protocol/flow_bind.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/bare_connect_flood.hpp"
#include "tests/host/end_to_end/end_to_end_kit.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using namespace endtoend;

constexpr int halfOpenTransports = 2'000;
constexpr int honestClients = 10;

sockaddr_in loopback(const std::string& address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

// The i-th flooding peer's own address in 127.0.0.0/8 (never 127.0.0.1, the honest client's).
std::string peerAddress(int i) { return "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1); }

// One peer: a TCP connection that stays open and the three bind datagrams; the descriptor of the
// connection, or -1.
int openHalfTransport(const std::string& from, uint16_t base) {
  int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (tcp < 0) return -1;
  sockaddr_in local = loopback(from, 0);
  sockaddr_in host = loopback("127.0.0.1", base);
  if (::bind(tcp, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(tcp, reinterpret_cast<sockaddr*>(&host), sizeof host) != 0) {
    ::close(tcp);
    return -1;
  }
  const std::array<vela::Channel, 3> channels{vela::Channel::video, vela::Channel::audio,
                                              vela::Channel::inputUnreliable};
  for (size_t slot = 0; slot < channels.size(); ++slot) {
    int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udp < 0) continue;
    ::bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof local);
    Bytes bind = vela::flowBindDatagram(channels[slot]);
    sockaddr_in to = loopback("127.0.0.1", static_cast<uint16_t>(base + 1 + slot));
    ::sendto(udp, bind.data(), bind.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(udp);
  }
  return tcp;
}

// The built host on a display of its own, as a host in use has (every keyed transport gets a session),
// settled after start-up, with room on this side for every connection of a flood.
class TavloHostFlood : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(raiseDescriptorLimitFor(std::max<size_t>(halfOpenTransports, maxFloodHeld)));
    ASSERT_TRUE(server.start()) << server.failureText();
    std::string why;
    started = startKeyedHost(home.path(), server.display(), why);
    ASSERT_TRUE(started) << why;
    // Start-up work (port mapping, device checks) settles first.
    std::this_thread::sleep_for(1s);
    host().drainOutput();
    before = figuresOf(host().pid());
  }
  HostProcess& host() { return *started->process; }

  testkit::XorgServer server;
  testkit::TempDir home;
  std::optional<KeyedHost> started;
  ProcessFigures before;
};

TEST_F(TavloHostFlood, TwoThousandHalfOpenTransportsCostNoThreadsAndTheHostStillAcceptsAClient) {
  HostProcess& host = this->host();
  const uint16_t base = started->base;

  std::vector<int> connections;
  ProcessFigures peak = before;
  for (int i = 0; i < halfOpenTransports; ++i) {
    int fd = openHalfTransport(peerAddress(i), base);
    if (fd >= 0) connections.push_back(fd);
    // The listener pairs a connection with the flows that follow it: the next peer waits a moment.
    std::this_thread::sleep_for(1ms);
    if (i % 50 == 49) {
      host.drainOutput();
      ProcessFigures now = figuresOf(host.pid());
      peak.threads = std::max(peak.threads, now.threads);
      peak.rssKiB = std::max(peak.rssKiB, now.rssKiB);
    }
  }
  std::this_thread::sleep_for(500ms);
  host.drainOutput();
  const ProcessFigures under = figuresOf(host.pid());
  peak.threads = std::max(peak.threads, under.threads);
  peak.rssKiB = std::max(peak.rssKiB, under.rssKiB);
  const size_t displaced = linesWith(host.output(), "za dużo połączeń czekających na przyjęcie");

  std::cout << "flood figures: peers " << connections.size() << ", closed over the waiting cap " << displaced
            << "; threads before " << before.threads << ", under the flood " << under.threads << " (peak "
            << peak.threads << "); RSS before " << before.rssKiB / 1024 << " MiB, under the flood "
            << under.rssKiB / 1024 << " MiB (peak " << peak.rssKiB / 1024 << " MiB)" << std::endl;
  RecordProperty("threadsBefore", std::to_string(before.threads));
  RecordProperty("threadsPeak", std::to_string(peak.threads));
  RecordProperty("rssKiBBefore", std::to_string(before.rssKiB));
  RecordProperty("rssKiBPeak", std::to_string(peak.rssKiB));

  EXPECT_EQ(connections.size(), size_t(halfOpenTransports));
  // A peer that never says its hello never proves itself: none became a transport waiting at the gate.
  EXPECT_EQ(displaced, 0u);
  EXPECT_EQ(linesWith(host.output(), "E2E"), 0u) << host.output();
  EXPECT_LE(peak.threads, before.threads + 8) << "a waiting transport costs no thread";
  if (residentSetIsMeaningful) {
    EXPECT_LT(peak.rssKiB, before.rssKiB + 64 * 1024);
  }

  // The flood goes; an honest client from another address agrees a key as before.
  for (int fd : connections) ::close(fd);
  hosttest::HostTestClient client;
  std::string error;
  EXPECT_TRUE(client.connect(base, started->key, &error)) << error;
  client.close();
  host.drainOutput();
  const ProcessFigures after = figuresOf(host.pid());
  std::cout << "after the flood: threads " << after.threads << ", RSS " << after.rssKiB / 1024 << " MiB" << std::endl;

  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << host.output();
}

// `count` loopback addresses of the honest client's /24 (127.0.0.1), never its own.
std::vector<std::string> neighboursInTheClientsBlock(int count) {
  std::vector<std::string> sources;
  for (int i = 0; i < count; ++i) sources.push_back("127.0.0." + std::to_string(i + 2));
  return sources;
}

class TavloHostBareFlood : public TavloHostFlood, public ::testing::WithParamInterface<BareFlood> {};

TEST_P(TavloHostBareFlood, LeavesHonestClientsKeyedWithinTheFloodBounds) {
  expectHonestClientsKeyedUnder(GetParam(), host(), *started, "127.0.0.1", before, honestClients);
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, TavloHostBareFlood,
    ::testing::Values(BareFlood{"TwoHundredAddressesAtFiveThousandASecond", neighboursInTheClientsBlock(200), 5'000, 20ms},
                      BareFlood{"TwoHundredAddressesAtOneThousandASecond", neighboursInTheClientsBlock(200), 1'000, 100ms},
                      BareFlood{"TheClientsOwnAddressAtOneHundredASecond", {"127.0.0.1"}, 100, 20ms}),
    [](const ::testing::TestParamInfo<BareFlood>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavlo
