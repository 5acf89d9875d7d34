#include "tests/transport/raw_sockets.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/net/socket_address.hpp"
#include "platform/net/socket_options.hpp"

namespace vela::testkit {
namespace {

tavlo::SocketAddress addressOf(const std::string& text, uint16_t port) {
  tavlo::SocketAddress address;
  if (text.find(':') != std::string::npos) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    if (inet_pton(AF_INET6, text.c_str(), &a.sin6_addr) != 1) throw std::runtime_error("bad address " + text);
    return tavlo::SocketAddress::from(reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, text.c_str(), &a.sin_addr) != 1) throw std::runtime_error("bad address " + text);
  return tavlo::SocketAddress::from(reinterpret_cast<sockaddr*>(&a), sizeof a);
}

bool waitReadable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

RawUdp::RawUdp(const std::string& localAddress, uint16_t localPort) {
  auto local = addressOf(localAddress, localPort);
  fd_ = ::socket(local.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::bind(fd_, local.get(), local.length) != 0) throw std::runtime_error("RawUdp bind " + localAddress);
  tavlo::requestReceiveBuffer(fd_, tavlo::mediaSocketBufferBytes);  // tests read bursts after they were sent
}

RawUdp::~RawUdp() {
  if (fd_ >= 0) ::close(fd_);
}

void RawUdp::sendTo(const std::string& address, uint16_t port, ByteView datagram) {
  auto to = addressOf(address, port);
  (void)::sendto(fd_, datagram.data(), datagram.size(), 0, to.get(), to.length);
}

std::optional<Bytes> RawUdp::receive(std::chrono::milliseconds timeout) {
  if (!waitReadable(fd_, timeout)) return std::nullopt;
  Bytes buffer(65536);
  ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

void RawUdp::connectTo(const std::string& address, uint16_t port) {
  auto to = addressOf(address, port);
  if (::connect(fd_, to.get(), to.length) != 0) throw std::runtime_error("RawUdp connect");
}

uint16_t RawUdp::port() const { return tavlo::localAddressOf(fd_).port(); }

std::string RawUdp::description() const { return tavlo::localAddressOf(fd_).describe(); }

RawTcp::RawTcp(const std::string& localAddress, const std::string& address, uint16_t port) {
  auto local = addressOf(localAddress, 0);
  auto remote = addressOf(address, port);
  fd_ = ::socket(remote.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  if (::bind(fd_, local.get(), local.length) != 0 || ::connect(fd_, remote.get(), remote.length) != 0) close();
}

RawTcp::~RawTcp() { close(); }

void RawTcp::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void RawTcp::write(ByteView bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void RawTcp::writeFrame(ByteView payload) {
  Bytes frame(4 + payload.size());
  auto n = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) frame[static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (8 * i));
  std::memcpy(frame.data() + 4, payload.data(), payload.size());
  write(frame);
}

size_t RawTcp::writeUntilStalled(ByteView pattern, size_t limit, std::chrono::milliseconds stall) {
  size_t done = 0;
  while (done < limit) {
    size_t at = done % pattern.size();
    ssize_t n = ::send(fd_, pattern.data() + at, std::min(pattern.size() - at, limit - done), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    pollfd p{fd_, POLLOUT, 0};
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || poll(&p, 1, static_cast<int>(stall.count())) <= 0) break;
  }
  return done;
}

std::optional<Bytes> RawTcp::read(size_t count, std::chrono::milliseconds timeout) {
  Bytes out(count);
  size_t done = 0;
  while (done < count) {
    if (!waitReadable(fd_, timeout)) return std::nullopt;
    ssize_t n = ::recv(fd_, out.data() + done, count - done, 0);
    if (n <= 0) return std::nullopt;
    done += static_cast<size_t>(n);
  }
  return out;
}

bool RawTcp::closedByPeer(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  uint8_t byte;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!waitReadable(fd_, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())))
      return false;
    ssize_t n = ::recv(fd_, &byte, 1, 0);
    if (n <= 0) return true;
  }
  return false;
}

std::string RawTcp::description() const { return tavlo::localAddressOf(fd_).describe(); }

}  // namespace vela::testkit
