// Our relay service against peers that connect and do nothing useful: silent and half-spoken
// connections, probes that stay, crowds from one address, and a process out of descriptors.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "platform/runtime/base64.hpp"
#include "tests/testkit/heap_usage.hpp"
#include "tests/transport/relay/relay_test_kit.hpp"

namespace vela {
namespace {

using namespace relaytest;
using tavlo::relay::RelayServer;
using testkit::RawTcp;

// Our service on free loopback ports, its timers on a manual clock.
struct Service {
  explicit Service(const std::function<void(RelayServer::Options&)>& adjust = {}) {
    RelayServer::Options options;
    options.tcpPort = 0;
    options.udpPort = 0;
    options.scheduler = &scheduler;
    options.log = log.sink();
    if (adjust) adjust(options);
    server = RelayServer::start(options);
  }
  std::unique_ptr<RawTcp> connect(const std::string& from = "127.0.0.1") {
    return std::make_unique<RawTcp>(from, "127.0.0.1", server->tcpPort());
  }
  // Waits (a bounded wait for an event) until the service holds `count` line connections.
  bool holds(size_t count) {
    for (int i = 0; i < 1000; ++i) {
      if (server->counters().openConnections == count) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler{clock};
  LogRecorder log;
  std::unique_ptr<RelayServer> server;
};

std::string registration(const TestIdentity& identity, const std::string& challengeLine) {
  auto challenge = tavlo::base64Decode(challengeLine.substr(3));
  auto signature = identity.key.sign(*challenge);
  return "H " + identity.hostID + " " + tavlo::base64Encode(identity.key.publicKey()) + " " +
         tavlo::base64Encode(*signature) + "\n";
}

TEST(RelayServiceLimits, AConnectionWithoutACompleteFirstLineIsClosedAfterFiveSeconds) {
  Service service;
  auto silent = service.connect();
  auto halfSpoken = service.connect();
  auto host = service.connect();
  for (auto* peer : {silent.get(), halfSpoken.get()}) ASSERT_TRUE(peer->readLine()) << "the challenge";
  auto challenge = host->readLine();
  ASSERT_TRUE(challenge);
  halfSpoken->write("PE 3F2504E0");  // no line feed
  host->write(registration(TestIdentity(), *challenge));
  ASSERT_TRUE(service.log.waitFor("zarejestrowany"));

  service.scheduler.advanceBy(4'999'999);
  EXPECT_FALSE(silent->closedByPeer(50ms));
  service.scheduler.advanceBy(1);
  EXPECT_TRUE(silent->closedByPeer());
  EXPECT_TRUE(halfSpoken->closedByPeer());
  EXPECT_FALSE(host->closedByPeer(100ms)) << "a registered host stays for as long as it likes";
  EXPECT_EQ(service.server->counters().silentConnections, 2u);
  EXPECT_TRUE(service.log.waitFor("bez pierwszej linii, zamykam", 2));
}

TEST(RelayServiceLimits, AProbeIsClosedOnceAnswered) {
  Service service;
  auto probe = service.connect();
  ASSERT_TRUE(probe->readLine());
  probe->write("PE 3F2504E0-4F89-41D3-9A0C-0305E82C3301 00\n");
  EXPECT_EQ(probe->readLine(), "A 0");
  EXPECT_TRUE(probe->closedByPeer());
  EXPECT_TRUE(service.holds(0));
}

TEST(RelayServiceLimits, ConnectionsOverTheCapsAreClosedAtOnce) {
  Service service([](RelayServer::Options& options) {
    options.maxConnections = 4;
    options.maxConnectionsPerAddress = 2;
  });
  struct Row {
    const char* from;
    bool served;
    const char* why;
  };
  const Row rows[] = {
      {"127.0.0.1", true, "first from its address"},
      {"127.0.0.1", true, "second from its address"},
      {"127.0.0.1", false, "third from one address"},
      {"127.0.0.2", true, "another address"},
      {"127.0.0.3", true, "a third address: four in all"},
      {"127.0.0.4", false, "a fifth connection in all"},
  };
  std::vector<std::unique_ptr<RawTcp>> peers;
  for (const Row& row : rows) {
    peers.push_back(service.connect(row.from));
    if (row.served) {
      EXPECT_TRUE(peers.back()->readLine()) << row.why;
    } else {
      EXPECT_TRUE(peers.back()->closedByPeer()) << row.why;
    }
  }
  EXPECT_EQ(service.server->counters().refusedConnections, 2u);
  EXPECT_TRUE(service.log.waitFor("za dużo połączeń"));

  peers[0].reset();  // a place frees up
  ASSERT_TRUE(service.holds(3));
  EXPECT_TRUE(service.connect("127.0.0.1")->readLine()) << "served again";
}

// The descriptors of a test program: one per open file, socket and pipe.
size_t openDescriptors() {
  return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

// Sets the soft descriptor limit for the scope, and puts back the one before.
struct DescriptorLimitFor {
  explicit DescriptorLimitFor(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min(soft, saved.rlim_max);
    ok = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0 && lowered.rlim_cur == soft;
  }
  ~DescriptorLimitFor() { ::setrlimit(RLIMIT_NOFILE, &saved); }
  rlimit saved{};
  bool ok = false;
};

// Each idle connection once cost a 64 KiB read buffer up front (2,000 held 138 MiB): now the buffer
// grows with what arrives, and a silent peer costs its bookkeeping only.
TEST(RelayServiceLimits, TwoThousandIdleConnectionsHoldUnderSixteenMebibytes) {
  constexpr size_t idle = 2'000;
  DescriptorLimitFor limit(openDescriptors() + 2 * idle + 64);
  ASSERT_TRUE(limit.ok) << "the hard descriptor limit is too low for " << idle << " connections both ways";
  Service service([](RelayServer::Options& options) { options.maxConnectionsPerAddress = 2 * idle; });
  const size_t before = tavlo::testkit::heapBytesInUse();
  std::vector<std::unique_ptr<RawTcp>> peers;
  peers.reserve(idle);
  for (size_t i = 0; i < idle; ++i) peers.push_back(service.connect());
  ASSERT_TRUE(service.holds(idle));
  const int64_t grown = int64_t(tavlo::testkit::heapBytesInUse()) - int64_t(before);
  EXPECT_LT(grown, 16 << 20) << grown / int64_t(idle) << " bytes per idle connection";
  RecordProperty("bytesPerIdleConnection", std::to_string(grown / int64_t(idle)));
}

// CPU time of the whole process: the service's thread spinning shows here.
double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// With every descriptor taken, a connection waiting in the kernel cannot be accepted and the port
// stays readable: the service must neither spin on it nor stop serving. Descriptors are taken here by
// a crowd of idle connections and then by plain files, under a lowered limit.
TEST(RelayServiceLimits, OutOfDescriptorsTheServiceNeitherSpinsNorStopsServing) {
  Service service;
  DescriptorLimitFor limit(openDescriptors() + 100);
  ASSERT_TRUE(limit.ok);
  std::vector<std::unique_ptr<RawTcp>> crowd;
  for (int i = 0; i < 20; ++i) crowd.push_back(service.connect());
  ASSERT_TRUE(service.holds(20));
  std::vector<int> fillers;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  ::close(fillers.back());
  fillers.pop_back();
  auto waiting = service.connect();  // takes the last descriptor; the service cannot take it in
  ASSERT_TRUE(waiting->connected());

  const double cpuBefore = cpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  EXPECT_FALSE(waiting->readLine(400ms)) << "not accepted while the descriptors are taken";
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  const double cpu = cpuSeconds() - cpuBefore;
  EXPECT_LT(cpu, 0.25 * wall) << cpu << " s of CPU in " << wall << " s";

  for (int fd : fillers) ::close(fd);
  EXPECT_TRUE(waiting->readLine()) << "taken in once descriptors are free";
  waiting->write("PE 3F2504E0-4F89-41D3-9A0C-0305E82C3301 00\n");
  EXPECT_EQ(waiting->readLine(), "A 0") << "and served";
  EXPECT_TRUE(service.holds(20)) << "the crowd was kept all along";
}

}  // namespace
}  // namespace vela
