#pragma once
// A socket address as the kernel hands it over, printed the way the rest of the system compares
// peers: IPv4 (also an IPv4-mapped IPv6 peer of a dual-stack socket) as "a.b.c.d:port", IPv6 as
// "[addr]:port". The host listener matches late flows by the part before the port, so a client seen
// over IPv4 must print the same on its TCP connection and on its UDP flows.
#include <sys/socket.h>

#include <compare>
#include <cstdint>
#include <string>

namespace tavlo {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  static SocketAddress from(const sockaddr* address, socklen_t length);

  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
  int family() const { return storage.ss_family; }
  uint16_t port() const;
  bool isEmpty() const { return length == 0; }
  std::string describe() const;

  // Orders by family, address, port and scope: equal exactly when the kernel sees the same peer.
  friend std::strong_ordering operator<=>(const SocketAddress& a, const SocketAddress& b);
  friend bool operator==(const SocketAddress& a, const SocketAddress& b) { return (a <=> b) == 0; }
};

// The local and remote addresses of a socket; empty when it has none.
SocketAddress localAddressOf(int fd);
SocketAddress remoteAddressOf(int fd);

}  // namespace tavlo
