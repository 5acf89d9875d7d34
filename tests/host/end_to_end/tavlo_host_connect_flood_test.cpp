// The built tavlo-host on a private dummy Xorg while a peer at 127.0.0.2 opens a bare TCP connection
// every 10 ms and sends nothing on it: honest clients from 127.0.0.1, each waiting a 20 ms round trip
// between its TCP connection and its flows as a client on a real network does, still agree a key, and
// the host's threads and memory stay within the bounds of the half-open flood. The keyed counts with
// and without the flood and the host's figures under it are printed and recorded as test properties.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/end_to_end_kit.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using namespace endtoend;

constexpr int honestClients = 10;
constexpr auto honestRoundTrip = 20ms;
constexpr auto floodInterval = 10ms;
// Bounds of the flood: it stops once the honest clients are done, and in any case after this many.
constexpr int maxFloodConnections = 3'000;

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

TEST(TavloHostConnectFlood, BareConnectionsFromAnotherAddressLeaveHonestClientsKeyed) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  ASSERT_GE(limit.rlim_cur, rlim_t(maxFloodConnections + 256)) << "the hard descriptor limit is too low";

  testkit::XorgServer server;
  ASSERT_TRUE(server.start()) << server.failureText();
  testkit::TempDir home;
  std::string why;
  auto started = startKeyedHost(home.path(), server.display(), why);
  ASSERT_TRUE(started) << why;
  HostProcess& host = *started->process;
  const uint16_t base = started->base;
  // Start-up work (port mapping, device checks) settles first.
  std::this_thread::sleep_for(1s);
  host.drainOutput();
  const ProcessFigures before = figuresOf(host.pid());

  std::string error;
  const int keyedCalm = keyedClients(base, started->key, &error);
  host.drainOutput();

  int keyedFlooded = 0;
  size_t floodConnections = 0;
  ProcessFigures peak;
  {
    BareConnectFlood flood("127.0.0.2", base, host.pid());
    std::this_thread::sleep_for(500ms);  // the flood is under way before the first honest client
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
            << ", peak under the flood " << peak.threads << "; RSS before " << before.rssKiB / 1024
            << " MiB, peak under the flood " << peak.rssKiB / 1024 << " MiB" << std::endl;
  RecordProperty("keyedWithoutFlood", std::to_string(keyedCalm));
  RecordProperty("keyedUnderFlood", std::to_string(keyedFlooded));
  RecordProperty("threadsBefore", std::to_string(before.threads));
  RecordProperty("threadsPeak", std::to_string(peak.threads));
  RecordProperty("rssKiBBefore", std::to_string(before.rssKiB));
  RecordProperty("rssKiBPeak", std::to_string(peak.rssKiB));

  EXPECT_EQ(keyedCalm, honestClients) << error;
  EXPECT_GE(keyedFlooded, honestClients - 1) << error << "\n" << host.output();
  EXPECT_GE(floodConnections, 20u) << "the flood ran";
  // The bounds of the half-open flood: a waiting connection costs no thread and little memory.
  EXPECT_LE(peak.threads, before.threads + 8);
  if (residentSetIsMeaningful) {
    EXPECT_LT(peak.rssKiB, before.rssKiB + 64 * 1024);
  }

  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << host.output();
}

}  // namespace
}  // namespace tavlo
