#pragma once
// A flood of bare TCP connections to the built host: from a list of source addresses in turn (IPv4 or
// IPv6, each an address of this machine or of the test's namespace), at a given rate, each connection
// kept open and never written to, the oldest closed once `maxHeld` are open, until stopped or for
// `maxDuration` at most. The host's threads and memory are sampled as it goes.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/bytes.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/end_to_end_kit.hpp"

namespace tavlo::endtoend {

class BareConnectFlood {
 public:
  struct Options {
    std::vector<std::string> sources;
    std::string target = "127.0.0.1";
    uint16_t port = 0;
    int connectsPerSecond = 100;
    size_t maxHeld = 2'000;
    std::chrono::seconds maxDuration{30};
    pid_t host = 0;
  };
  explicit BareConnectFlood(Options options);
  ~BareConnectFlood();  // stop(), and every connection closed
  BareConnectFlood(const BareConnectFlood&) = delete;
  BareConnectFlood& operator=(const BareConnectFlood&) = delete;

  void stop();
  // Connections made so far (the host may have closed some of them since).
  uint64_t connects() const { return connects_.load(); }
  // The host's highest thread count and resident set seen since the flood began.
  ProcessFigures peak();
  // The connects per second achieved so far.
  double rate() const;

 private:
  void run();

  const Options options_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> connects_{0};
  std::atomic<int64_t> ranUs_{0};
  std::deque<int> held_;  // the flood's thread only, until stopped
  std::mutex mutex_;      // peak_
  ProcessFigures peak_;
  std::thread thread_;
};

// The most connections a flood of expectHonestClientsKeyedUnder keeps open, closing its oldest: the test's
// side needs a descriptor for each.
inline constexpr size_t maxFloodHeld = 4'000;

// Raises this process's descriptor limit to 8,192 (the hard limit allowing) and checks it leaves room for
// `held` connections of a flood and the test's own files; the host started after inherits it.
void raiseDescriptorLimitFor(size_t held);

// One flood of bare connections against honest clients: who sends it, how fast, and how far away the
// honest client is.
struct BareFlood {
  const char* name;
  std::vector<std::string> sources;
  int connectsPerSecond;
  std::chrono::milliseconds roundTrip;
};

// The honest clients a running host (its figures before were `before`) keys without the flood and then
// under it, each of `honestClients` connecting to `hostAddress`; the figures are printed and recorded as
// test properties, checked against the bounds of a flood (at most one honest client lost, the flood at
// its rate, no thread per connection, little memory), and the host must then end cleanly on SIGTERM.
void expectHonestClientsKeyedUnder(const BareFlood& flood, HostProcess& host, const KeyedHost& started,
                                   const std::string& hostAddress, const ProcessFigures& before, int honestClients);

// How many of `count` honest clients agree a key with the host at `hostAddress`, one after the other,
// each waiting `roundTrip` between its connection and its flows, as a client on a real network does;
// the last failure in `lastError`.
int keyedClients(const std::string& hostAddress, uint16_t base, const Bytes& key, std::chrono::milliseconds roundTrip,
                 int count, std::string* lastError);

}  // namespace tavlo::endtoend
