#include "tests/host/end_to_end/bare_connect_flood.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/net/socket_address.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"

namespace tavlo::endtoend {

namespace {

constexpr auto sampleEvery = std::chrono::milliseconds(100);

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

}  // namespace tavlo::endtoend
