#include "platform/net/port_probe.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavlo {
namespace {

bool canBind(int type, uint16_t port) {
  int fd = ::socket(AF_INET6, type | SOCK_CLOEXEC, 0);
  bool dualStack = fd >= 0;
  if (!dualStack) fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int on = 1;
  int off = 0;
  if (type == SOCK_STREAM) (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int rc;
  if (dualStack) {
    (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(port);
    rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any);
  } else {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(port);
    rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any);
  }
  ::close(fd);
  return rc == 0;
}

}  // namespace

bool canBindTcpPort(uint16_t port) { return canBind(SOCK_STREAM, port); }
bool canBindUdpPort(uint16_t port) { return canBind(SOCK_DGRAM, port); }

}  // namespace tavlo
