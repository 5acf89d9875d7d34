#pragma once
// A hostile peer on the same machine: threads that send random datagrams from loopback to the host's
// UDP ports, half of them starting with the protocol's magic and version so that they look like
// packets, each thread moving to a fresh source port every few datagrams so that the host keeps seeing
// new sources. It proves nothing and is never adopted; the host must stay bounded and keep streaming.
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace tavlo::hosttest {

class JunkSpray {
 public:
  // One thread per port, each sending up to `datagramsPerSecond`, a new source port every
  // `datagramsPerSource` datagrams.
  JunkSpray(std::vector<uint16_t> ports, int datagramsPerSecond, int datagramsPerSource);
  ~JunkSpray() { stop(); }
  JunkSpray(const JunkSpray&) = delete;
  JunkSpray& operator=(const JunkSpray&) = delete;

  void stop();
  uint64_t sent() const { return sent_.load(); }

 private:
  void run(uint16_t port, uint32_t seed);

  const int datagramsPerSecond_;
  const int datagramsPerSource_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> sent_{0};
  std::vector<std::thread> threads_;
};

}  // namespace tavlo::hosttest
