#pragma once
// Socket options shared by the TCP and UDP sockets of platform/net.
#include <cstdint>

namespace tavlo {

// How the network should treat a socket's packets. Interactive traffic is marked DSCP EF so that
// routers and Wi-Fi queues that honour it keep latency low.
enum class ServiceClass : uint8_t { bestEffort = 0, interactiveVideo = 1, interactiveVoice = 2 };

// Bytes asked of the kernel for UDP sockets that carry media: a keyframe burst must fit the send buffer.
inline constexpr int mediaSocketBufferBytes = 4 * 1024 * 1024;

// Marks every packet of `fd` (IPv4, IPv6 and IPv4-mapped traffic alike) with the class's DSCP.
void applyServiceClass(int fd, ServiceClass serviceClass);
// Asks for a send or receive buffer of `bytes`; tries the privileged option first, which is not capped
// by the system-wide maximum. Returns the size the kernel grants (as it reports it).
int requestSendBuffer(int fd, int bytes);
int requestReceiveBuffer(int fd, int bytes);

}  // namespace tavlo
