#include "platform/net/udp_exchange.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <vector>

namespace tavlo {
namespace {

// Closes the descriptor at scope end.
struct ScopedFd {
  explicit ScopedFd(int value) : fd(value) {}
  ~ScopedFd() {
    if (fd >= 0) ::close(fd);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  const int fd;
};

std::optional<sockaddr_in> ipv4Address(const std::string& text, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, text.c_str(), &address.sin_addr) != 1) return std::nullopt;
  return address;
}

std::string errnoNote(const char* step, int error) { return std::string(step) + " errno " + std::to_string(error); }

// A wait for `fd` to be readable, until `deadline` or until `abandon` is set (looked at every few
// milliseconds): 1 readable, 0 timed out, -1 abandoned, -2 poll failed (errno set).
int waitReadable(int fd, std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* abandon) {
  constexpr std::chrono::milliseconds slice{20};
  for (;;) {
    if (abandon && abandon->load()) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    if (abandon) left = std::min(left, slice);
    pollfd readable{fd, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (ready > 0) return 1;
    if (ready < 0 && errno != EINTR) return -2;
  }
}

}  // namespace

UdpExchangeResult udpRequestReply(const std::string& ipv4, uint16_t port, ByteView request, size_t replyCapacity,
                                  uint32_t timeoutMs, const std::atomic<bool>* abandon) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  ScopedFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (socket.fd < 0) return {std::nullopt, errnoNote("socket", errno)};
  auto peer = ipv4Address(ipv4, port);
  if (!peer) return {std::nullopt, errnoNote("connect", EINVAL)};
  if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&*peer), sizeof *peer) != 0)
    return {std::nullopt, errnoNote("connect", errno)};
  if (::send(socket.fd, request.data(), request.size(), 0) < 0) return {std::nullopt, errnoNote("send", errno)};
  switch (waitReadable(socket.fd, deadline, abandon)) {
    case -1: return {std::nullopt, "abandoned"};
    case 0: return {std::nullopt, "recv -1 errno " + std::to_string(EAGAIN)};  // what a receive timeout says
    case -2: return {std::nullopt, errnoNote("poll", errno)};
    default: break;
  }
  Bytes reply(replyCapacity);
  ssize_t received = ::recv(socket.fd, reply.data(), reply.size(), MSG_DONTWAIT);
  if (received < 0) return {std::nullopt, "recv " + std::to_string(received) + " errno " + std::to_string(errno)};
  reply.resize(static_cast<size_t>(received));
  return {std::move(reply), {}};
}

bool udpSearch(const std::string& ipv4, uint16_t port, ByteView request, int copies, size_t replyCapacity,
               uint32_t windowMs, const std::function<bool(ByteView reply, const std::string& sender)>& onReply,
               const std::atomic<bool>* abandon) {
  ScopedFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (socket.fd < 0) return false;
  int on = 1;
  (void)setsockopt(socket.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  auto target = ipv4Address(ipv4, port);
  if (!target) return false;
  for (int i = 0; i < copies; ++i) {
    if (::sendto(socket.fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&*target),
                 sizeof *target) < 0)
      return false;
  }
  using SteadyTime = std::chrono::steady_clock;
  const auto deadline = SteadyTime::now() + std::chrono::milliseconds(windowMs);
  Bytes reply(replyCapacity);
  for (;;) {
    if (waitReadable(socket.fd, deadline, abandon) != 1) return true;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t received =
        ::recvfrom(socket.fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0) return true;  // an error ends the search, as a timeout does
    if (received == 0) continue;    // an empty datagram says nothing; anyone on the LAN can send one
    char sender[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
    if (onReply(ByteView(reply.data(), static_cast<size_t>(received)), sender)) return true;
  }
}

std::optional<std::string> localIPv4Toward(const std::string& ipv4) {
  auto peer = ipv4Address(ipv4, 9);  // any port: nothing is sent
  if (!peer) return std::nullopt;
  ScopedFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (socket.fd < 0) return std::nullopt;
  if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&*peer), sizeof *peer) != 0) return std::nullopt;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(socket.fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return std::nullopt;
  if (local.sin_addr.s_addr == htonl(INADDR_ANY)) return std::nullopt;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
  return std::string(text);
}

}  // namespace tavlo
