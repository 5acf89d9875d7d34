// The built tavlo-host on a private dummy Xorg, flooded from loopback.
// - With connections that complete the direct path (one TCP connect and three bind datagrams, each from
//   its own loopback address) and then never say their E2E hello: 2,000 such half-open transports. Each
//   waits at the handshake gate with no thread of its own, and the gate keeps only a capped number of
//   them, so the host's threads stay as they were and its memory barely moves; afterwards an honest
//   client still agrees a key.
// - With a bare TCP connection from 127.0.0.2 every 10 ms that sends nothing: honest clients from
//   127.0.0.1, each waiting a 20 ms round trip between its TCP connection and its flows as a client on a
//   real network does, still agree a key, within the same bounds of threads and memory.
// The figures are printed and recorded as test properties.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "host/controller/handshake_gate.hpp"
#include "platform/runtime/base64.hpp"
#include "protocol/flow_bind.hpp"
#include "tests/host/app/host_process.hpp"
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
constexpr auto honestRoundTrip = 20ms;
constexpr auto floodInterval = 10ms;
// Bounds of the bare-connection flood: it stops once the honest clients are done, and in any case
// after this many.
constexpr int maxFloodConnections = 3'000;

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
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_cur, rlim_t(std::max(halfOpenTransports, maxFloodConnections) + 256))
        << "the hard descriptor limit is too low";
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
  const auto floodStarted = std::chrono::steady_clock::now();
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
  // The peers fill the waiting cap, and the lines about the connections it closes keep to their budget.
  const auto floodSeconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                             floodStarted).count();
  EXPECT_GE(displaced, 1u) << "the peers became transports that waited at the gate";
  EXPECT_LE(displaced, HandshakeGate::peerLinesPerWindow * size_t(floodSeconds / 10 + 2)) << "a line per peer";
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

// A peer that opens a TCP connection from `from` to the host every 10 ms, keeps it open and sends
// nothing, until stopped or maxFloodConnections; the host's figures are sampled as it goes.
class BareConnectFlood {
 public:
  BareConnectFlood(const std::string& from, uint16_t port, pid_t host) : host_(host) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
    peak_ = figuresOf(host_);
    thread_ = std::thread([this, local, target] { run(local, target); });
  }
  ~BareConnectFlood() {
    stop();
    for (int fd : connections_) ::close(fd);
  }
  void stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }
  size_t connections() const { return connections_.size(); }
  ProcessFigures peak() {
    std::lock_guard guard(mutex_);
    return peak_;
  }

 private:
  void run(sockaddr_in local, sockaddr_in target) {
    auto next = std::chrono::steady_clock::now();
    while (!stopping_ && connections_.size() < size_t(maxFloodConnections)) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
          ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
        connections_.push_back(fd);
      } else if (fd >= 0) {
        ::close(fd);
      }
      if (connections_.size() % 10 == 0) {
        ProcessFigures now = figuresOf(host_);
        std::lock_guard guard(mutex_);
        peak_.threads = std::max(peak_.threads, now.threads);
        peak_.rssKiB = std::max(peak_.rssKiB, now.rssKiB);
      }
      next += floodInterval;
      std::this_thread::sleep_until(next);
    }
  }

  const pid_t host_;
  std::atomic<bool> stopping_{false};
  std::vector<int> connections_;  // the flood's thread only, until stopped
  std::mutex mutex_;
  ProcessFigures peak_;
  std::thread thread_;
};

// How many of `honestClients` clients from 127.0.0.1 agree a key with the host.
int keyedClients(uint16_t base, const Bytes& key, std::string* lastError) {
  int keyed = 0;
  for (int i = 0; i < honestClients; ++i) {
    hosttest::HostTestClient client;
    std::string error;
    if (client.connect(base, key, &error, honestRoundTrip)) {
      ++keyed;
    } else {
      *lastError = error;
    }
    client.close();
  }
  return keyed;
}

TEST_F(TavloHostFlood, BareConnectionsFromAnotherAddressLeaveHonestClientsKeyed) {
  HostProcess& host = this->host();
  const uint16_t base = started->base;
  std::string error;
  const int keyedCalm = keyedClients(base, started->key, &error);
  host.drainOutput();
  // The calm clients' sessions end with their connections (a thread or two of the first session's may
  // stay for good); the flood starts on a host without them.
  for (auto until = std::chrono::steady_clock::now() + 10s;
       figuresOf(host.pid()).threads > before.threads + 2 && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(100ms);

  int keyedFlooded = 0;
  size_t floodConnections = 0;
  ProcessFigures floodAlone;  // the flood's own cost: every keyed honest client adds a session's threads
  ProcessFigures peak;
  {
    BareConnectFlood flood("127.0.0.2", base, host.pid());
    std::this_thread::sleep_for(1s);  // the flood is under way before the first honest client
    floodAlone = flood.peak();
    keyedFlooded = keyedClients(base, started->key, &error);
    host.drainOutput();
    flood.stop();
    floodConnections = flood.connections();
    peak = flood.peak();
  }
  host.drainOutput();

  std::cout << "honest clients keyed: " << keyedCalm << " of " << honestClients << " without the flood, "
            << keyedFlooded << " of " << honestClients << " with it (" << floodConnections
            << " bare connections, one per " << floodInterval.count() << " ms); threads before " << before.threads
            << ", peak under the flood alone " << floodAlone.threads << ", with the honest clients' sessions "
            << peak.threads << "; RSS before " << before.rssKiB / 1024 << " MiB, peak under the flood alone "
            << floodAlone.rssKiB / 1024 << " MiB, with the honest clients' sessions " << peak.rssKiB / 1024 << " MiB"
            << std::endl;
  RecordProperty("keyedWithoutFlood", std::to_string(keyedCalm));
  RecordProperty("keyedUnderFlood", std::to_string(keyedFlooded));
  RecordProperty("threadsBefore", std::to_string(before.threads));
  RecordProperty("threadsPeakFloodAlone", std::to_string(floodAlone.threads));
  RecordProperty("threadsPeak", std::to_string(peak.threads));
  RecordProperty("rssKiBBefore", std::to_string(before.rssKiB));
  RecordProperty("rssKiBPeakFloodAlone", std::to_string(floodAlone.rssKiB));
  RecordProperty("rssKiBPeak", std::to_string(peak.rssKiB));

  EXPECT_EQ(keyedCalm, honestClients) << error;
  EXPECT_GE(keyedFlooded, honestClients - 1) << error << "\n" << host.output();
  EXPECT_GE(floodConnections, 20u) << "the flood ran";
  // The bounds of the half-open flood: a waiting connection costs no thread and little memory.
  EXPECT_LE(floodAlone.threads, before.threads + 8);
  if (residentSetIsMeaningful) {
    EXPECT_LT(peak.rssKiB, before.rssKiB + 64 * 1024);
  }

  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << host.output();
}

}  // namespace
}  // namespace tavlo
