#include "platform/net/udp_exchange.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

UdpExchangeResult udpRequestReply(const std::string& ipv4, uint16_t port, ByteView request, size_t replyCapacity,
                                  uint32_t timeoutMs) {
  ScopedFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (socket.fd < 0) return {std::nullopt, errnoNote("socket", errno)};
  timeval timeout{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
  (void)setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  auto peer = ipv4Address(ipv4, port);
  if (!peer) return {std::nullopt, errnoNote("connect", EINVAL)};
  if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&*peer), sizeof *peer) != 0)
    return {std::nullopt, errnoNote("connect", errno)};
  if (::send(socket.fd, request.data(), request.size(), 0) < 0) return {std::nullopt, errnoNote("send", errno)};
  Bytes reply(replyCapacity);
  ssize_t received = ::recv(socket.fd, reply.data(), reply.size(), 0);
  if (received < 0) return {std::nullopt, "recv " + std::to_string(received) + " errno " + std::to_string(errno)};
  reply.resize(static_cast<size_t>(received));
  return {std::move(reply), {}};
}

bool udpSearch(const std::string& ipv4, uint16_t port, ByteView request, int copies, size_t replyCapacity,
               uint32_t windowMs, const std::function<bool(ByteView reply, const std::string& sender)>& onReply) {
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
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyTime::now()).count();
    if (left <= 0) return true;
    pollfd readable{socket.fd, POLLIN, 0};
    int ready = ::poll(&readable, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return true;
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
