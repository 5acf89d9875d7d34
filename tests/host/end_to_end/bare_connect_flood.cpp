#include "tests/host/end_to_end/bare_connect_flood.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/net/socket_address.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"

namespace tavlo::endtoend {

namespace {

constexpr auto sampleEvery = std::chrono::milliseconds(100);
// A flood stops once the honest clients are done, and in any case after this long.
constexpr auto maxFloodDuration = std::chrono::seconds(40);

SocketAddress numericAddress(const std::string& ip, uint16_t port) {
  SocketAddress address;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
  if (::inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    address.length = sizeof(sockaddr_in);
  } else if (::inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    address.length = sizeof(sockaddr_in6);
  }
  return address;
}

}  // namespace

BareConnectFlood::BareConnectFlood(Options options) : options_(std::move(options)) {
  peak_ = figuresOf(options_.host);
  thread_ = std::thread([this] { run(); });
}

BareConnectFlood::~BareConnectFlood() {
  stop();
  for (int fd : held_) ::close(fd);
}

void BareConnectFlood::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

ProcessFigures BareConnectFlood::peak() {
  std::lock_guard guard(mutex_);
  return peak_;
}

double BareConnectFlood::rate() const {
  const int64_t us = ranUs_.load();
  return us > 0 ? double(connects_.load()) * 1e6 / double(us) : 0.0;
}

void BareConnectFlood::run() {
  std::vector<SocketAddress> sources;
  for (const std::string& source : options_.sources) sources.push_back(numericAddress(source, 0));
  const SocketAddress target = numericAddress(options_.target, options_.port);
  const auto interval = std::chrono::nanoseconds(1'000'000'000LL / std::max(1, options_.connectsPerSecond));
  auto next = std::chrono::steady_clock::now();
  auto nextSample = next;
  size_t turn = 0;
  while (!stopping_ && std::chrono::steady_clock::now() - started_ < options_.maxDuration) {
    const SocketAddress& from = sources[turn++ % sources.size()];
    // Not waiting for the handshake: the flood keeps its pace whatever the host's accept queue does.
    int fd = ::socket(from.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0) {
      if (::bind(fd, from.get(), from.length) == 0 &&
          (::connect(fd, target.get(), target.length) == 0 || errno == EINPROGRESS)) {
        held_.push_back(fd);
        connects_ += 1;
      } else {
        ::close(fd);
      }
    }
    while (held_.size() > options_.maxHeld) {
      ::close(held_.front());
      held_.pop_front();
    }
    const auto now = std::chrono::steady_clock::now();
    ranUs_ = std::chrono::duration_cast<std::chrono::microseconds>(now - started_).count();
    if (now >= nextSample) {
      nextSample = now + sampleEvery;
      ProcessFigures figures = figuresOf(options_.host);
      std::lock_guard guard(mutex_);
      peak_.threads = std::max(peak_.threads, figures.threads);
      peak_.rssKiB = std::max(peak_.rssKiB, figures.rssKiB);
    }
    next += interval;
    if (next > now) std::this_thread::sleep_until(next);
  }
}

int keyedClients(const std::string& hostAddress, uint16_t base, const Bytes& key, std::chrono::milliseconds roundTrip,
                 int count, std::string* lastError) {
  int keyed = 0;
  for (int i = 0; i < count; ++i) {
    hosttest::HostTestClient client;
    std::string error;
    if (client.connect(base, key, &error, roundTrip, hostAddress)) {
      ++keyed;
    } else {
      *lastError = error;
    }
    client.close();
  }
  return keyed;
}

void raiseDescriptorLimitFor(size_t held) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  ASSERT_GE(limit.rlim_cur, rlim_t(held + 256)) << "the hard descriptor limit is too low";
}

void expectHonestClientsKeyedUnder(const BareFlood& flood, HostProcess& host, const KeyedHost& started,
                                   const std::string& hostAddress, const ProcessFigures& before, int honestClients) {
  using namespace std::chrono_literals;
  std::string error;
  const int keyedCalm = keyedClients(hostAddress, started.base, started.key, flood.roundTrip, honestClients, &error);
  host.drainOutput();
  // The calm clients' sessions end with their connections (a thread or two of the first session's may
  // stay for good); the flood starts on a host without them.
  for (auto until = std::chrono::steady_clock::now() + 10s;
       figuresOf(host.pid()).threads > before.threads + 2 && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(100ms);

  const int connectsPerSecond = flood.connectsPerSecond / sanitizerFloodDivisor;
  int keyedFlooded = 0;
  uint64_t connects = 0;
  double rate = 0;
  ProcessFigures floodAlone;  // the flood's own cost: every keyed honest client adds a session's threads
  ProcessFigures peak;
  {
    BareConnectFlood::Options options;
    options.sources = flood.sources;
    options.target = hostAddress;
    options.port = started.base;
    options.connectsPerSecond = connectsPerSecond;
    options.maxHeld = maxFloodHeld;
    options.maxDuration = maxFloodDuration;
    options.host = host.pid();
    BareConnectFlood bare(options);
    std::this_thread::sleep_for(1s);  // the flood is under way (and the host's room full) before the first client
    floodAlone = bare.peak();
    keyedFlooded = keyedClients(hostAddress, started.base, started.key, flood.roundTrip, honestClients, &error);
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
  for (const auto& [name, value] : {std::pair<const char*, int64_t>{"keyedWithoutFlood", keyedCalm},
                                    {"keyedUnderFlood", keyedFlooded},
                                    {"floodConnectsPerSecond", int64_t(rate)},
                                    {"threadsBefore", before.threads},
                                    {"threadsPeakFloodAlone", floodAlone.threads},
                                    {"threadsPeak", peak.threads},
                                    {"rssKiBBefore", before.rssKiB},
                                    {"rssKiBPeakFloodAlone", floodAlone.rssKiB},
                                    {"rssKiBPeak", peak.rssKiB}}) {
    ::testing::Test::RecordProperty(name, std::to_string(value));
  }

  EXPECT_EQ(keyedCalm, honestClients) << error << "\n" << host.output();
  EXPECT_GE(keyedFlooded, honestClients - 1) << error << "\n" << host.output();
  EXPECT_GE(rate, 0.8 * connectsPerSecond) << "the flood ran at its rate";
  // The bounds of a flood of connections that never speak: a waiting connection costs no thread and
  // little memory.
  EXPECT_LE(floodAlone.threads, before.threads + 8);
  if (residentSetIsMeaningful) {
    EXPECT_LT(peak.rssKiB, before.rssKiB + 64 * 1024);
  }

  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << host.output();
}

}  // namespace tavlo::endtoend
