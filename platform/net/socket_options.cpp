#include "platform/net/socket_options.hpp"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>

namespace tavlo {
namespace {

constexpr int dscpExpeditedForwarding = 0xB8;  // EF (46) in the upper six bits of the traffic class

int requestBuffer(int fd, int forced, int plain, int readBack, int bytes) {
  if (setsockopt(fd, SOL_SOCKET, forced, &bytes, sizeof bytes) != 0)
    (void)setsockopt(fd, SOL_SOCKET, plain, &bytes, sizeof bytes);
  int granted = 0;
  socklen_t length = sizeof granted;
  if (getsockopt(fd, SOL_SOCKET, readBack, &granted, &length) != 0) return 0;
  return granted;
}

}  // namespace

void applyServiceClass(int fd, ServiceClass serviceClass) {
  if (serviceClass == ServiceClass::bestEffort) return;
  int value = dscpExpeditedForwarding;
  // Either call fails harmlessly when the socket's family lacks that level.
  (void)setsockopt(fd, IPPROTO_IP, IP_TOS, &value, sizeof value);
  (void)setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &value, sizeof value);
}

int requestSendBuffer(int fd, int bytes) { return requestBuffer(fd, SO_SNDBUFFORCE, SO_SNDBUF, SO_SNDBUF, bytes); }

int requestReceiveBuffer(int fd, int bytes) {
  return requestBuffer(fd, SO_RCVBUFFORCE, SO_RCVBUF, SO_RCVBUF, bytes);
}

}  // namespace tavlo
