#include "tests/transport/raw_sockets.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "platform/net/socket_options.hpp"

namespace vela::testkit {
namespace {

bool waitReadable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

tavlo::SocketAddress socketAddress(const std::string& ip, uint16_t port) {
  if (ip.find(':') != std::string::npos) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    if (inet_pton(AF_INET6, ip.c_str(), &a.sin6_addr) != 1) throw std::runtime_error("bad address " + ip);
    return tavlo::SocketAddress::from(reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) throw std::runtime_error("bad address " + ip);
  return tavlo::SocketAddress::from(reinterpret_cast<sockaddr*>(&a), sizeof a);
}

bool udpPortIsFree(const tavlo::SocketAddress& address) {
  int fd = ::socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool bound = fd >= 0 && ::bind(fd, address.get(), address.length) == 0;
  if (fd >= 0) ::close(fd);
  return bound;
}

Bytes muxFrame(ByteView payload) {
  Bytes frame(4 + payload.size());
  for (size_t i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(payload.size() >> (8 * i));
  std::copy(payload.begin(), payload.end(), frame.begin() + 4);
  return frame;
}

Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

bool ipv6Missing(const std::string& address) {
  if (address.find(':') == std::string::npos) return false;
  static const bool missing = [] {
    auto loopback = socketAddress("::1", 0);
    int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // no IPv6 in the kernel at all
    bool bound = ::bind(fd, loopback.get(), loopback.length) == 0;  // fails where IPv6 is disabled
    ::close(fd);
    return !bound;
  }();
  return missing;
}

RawUdp::RawUdp(const std::string& localAddress, uint16_t localPort) {
  auto local = socketAddress(localAddress, localPort);
  fd_ = ::socket(local.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::bind(fd_, local.get(), local.length) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("RawUdp bind " + localAddress);
  }
  tavlo::requestReceiveBuffer(fd_, tavlo::mediaSocketBufferBytes);  // tests read bursts after they were sent
}

RawUdp::~RawUdp() { ::close(fd_); }

void RawUdp::sendTo(const std::string& address, uint16_t port, ByteView datagram) {
  sendTo(socketAddress(address, port), datagram);
}

void RawUdp::sendTo(const tavlo::SocketAddress& to, ByteView datagram) {
  (void)::sendto(fd_, datagram.data(), datagram.size(), 0, to.get(), to.length);
}

std::optional<Bytes> RawUdp::receive(std::chrono::milliseconds timeout) {
  auto received = receiveFrom(timeout);
  if (!received) return std::nullopt;
  return std::move(received->second);
}

std::optional<std::pair<tavlo::SocketAddress, Bytes>> RawUdp::receiveFrom(std::chrono::milliseconds timeout) {
  if (!waitReadable(fd_, timeout)) return std::nullopt;
  Bytes buffer(65536);
  sockaddr_storage from{};
  socklen_t fromLength = sizeof from;
  ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(n));
  return std::pair{tavlo::SocketAddress::from(reinterpret_cast<sockaddr*>(&from), fromLength), std::move(buffer)};
}

void RawUdp::connectTo(const std::string& address, uint16_t port) {
  auto to = socketAddress(address, port);
  if (::connect(fd_, to.get(), to.length) != 0) throw std::runtime_error("RawUdp connect");
}

uint16_t RawUdp::port() const { return tavlo::localAddressOf(fd_).port(); }

std::string RawUdp::description() const { return tavlo::localAddressOf(fd_).describe(); }

RawTcp::RawTcp(const std::string& localAddress, const std::string& address, uint16_t port) {
  auto local = socketAddress(localAddress, 0);
  auto remote = socketAddress(address, port);
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

void RawTcp::write(std::string_view text) { write(tavlo::toBytes(text)); }

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

bool RawTcp::fill(std::chrono::milliseconds timeout) {
  if (!waitReadable(fd_, timeout)) return false;
  uint8_t chunk[65536];
  ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  buffered_.insert(buffered_.end(), chunk, chunk + n);
  return true;
}

std::optional<Bytes> RawTcp::read(size_t count, std::chrono::milliseconds timeout) {
  while (buffered_.size() < count)
    if (!fill(timeout)) return std::nullopt;
  Bytes out(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(count));
  buffered_.erase(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(count));
  return out;
}

std::optional<std::string> RawTcp::readLine(std::chrono::milliseconds timeout) {
  for (;;) {
    auto end = std::find(buffered_.begin(), buffered_.end(), '\n');
    if (end != buffered_.end()) {
      std::string line(buffered_.begin(), end);
      buffered_.erase(buffered_.begin(), end + 1);
      return line;
    }
    if (!fill(timeout)) return std::nullopt;
  }
}

bool RawTcp::closedByPeer(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  uint8_t chunk[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0 || !waitReadable(fd_, left)) return false;
    if (::recv(fd_, chunk, sizeof chunk, 0) <= 0) return true;
  }
}

void RawTcp::closeWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

std::string RawTcp::description() const { return tavlo::localAddressOf(fd_).describe(); }

RawTcpListener::RawTcpListener() {
  auto local = socketAddress("127.0.0.1", 0);
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::bind(fd_, local.get(), local.length) != 0 || ::listen(fd_, 16) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("RawTcpListener");
  }
}

RawTcpListener::~RawTcpListener() { ::close(fd_); }

uint16_t RawTcpListener::port() const { return tavlo::localAddressOf(fd_).port(); }

std::unique_ptr<RawTcp> RawTcpListener::accept(std::chrono::milliseconds timeout) {
  if (!waitReadable(fd_, timeout)) return nullptr;
  int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? nullptr : std::make_unique<RawTcp>(fd);
}

bool RawTcpListener::hasWaiting() const { return waitReadable(fd_, std::chrono::milliseconds(0)); }

}  // namespace vela::testkit
