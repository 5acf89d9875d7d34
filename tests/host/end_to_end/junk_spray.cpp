#include "tests/host/end_to_end/junk_spray.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>

namespace tavlo::hosttest {

JunkSpray::JunkSpray(std::vector<uint16_t> ports, int datagramsPerSecond, int datagramsPerSource)
    : datagramsPerSecond_(datagramsPerSecond), datagramsPerSource_(datagramsPerSource) {
  uint32_t seed = 1;
  for (uint16_t port : ports) threads_.emplace_back([this, port, s = seed++] { run(port, s); });
}

void JunkSpray::stop() {
  stopping_ = true;
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void JunkSpray::run(uint16_t port, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> size(1, 1400);
  std::uniform_int_distribution<int> byte(0, 255);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Sent in slices of 1 ms so that the rate holds without a burst at the start of each second.
  const int perSlice = std::max(1, datagramsPerSecond_ / 1000);
  auto sliceStart = std::chrono::steady_clock::now();
  int fd = -1;
  int fromThisSource = 0;
  unsigned char datagram[1400];
  while (!stopping_) {
    for (int i = 0; i < perSlice; ++i) {
      if (fd < 0 || fromThisSource >= datagramsPerSource_) {
        if (fd >= 0) ::close(fd);
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        fromThisSource = 0;
        if (fd < 0) return;
      }
      const int n = size(random);
      for (int k = 0; k < n; ++k) datagram[k] = static_cast<unsigned char>(byte(random));
      if (random() % 2 == 0 && n >= 5) {  // the magic "TLK2" and version 1
        datagram[0] = 'T', datagram[1] = 'L', datagram[2] = 'K', datagram[3] = '2', datagram[4] = 1;
      }
      (void)::sendto(fd, datagram, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      ++fromThisSource;
      sent_.fetch_add(1, std::memory_order_relaxed);
    }
    sliceStart += std::chrono::milliseconds(1);
    std::this_thread::sleep_until(sliceStart);
  }
  if (fd >= 0) ::close(fd);
}

}  // namespace tavlo::hosttest
