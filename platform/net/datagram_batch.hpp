#pragma once
// Sending a list of UDP datagrams with as few system calls as the kernel allows: sendmmsg, and UDP
// segmentation offload (GSO) for runs of equal-sized datagrams to one peer, so that a video frame of
// many 1,350-byte chunks costs one pass through the stack. Order is kept exactly.
#include <atomic>
#include <cstdint>
#include <span>

#include "platform/net/socket_address.hpp"
#include "platform/runtime/bytes.hpp"

namespace tavlo {

// How long one call may wait for room in a full send buffer before it gives the rest up. A keyframe
// burst outruns the NIC for a moment; it must not be dropped because the buffer was full for 1 ms.
inline constexpr uint64_t sendStallLimitUs = 25'000;

struct DatagramBatchResult {
  size_t sent = 0;  // datagrams the kernel took
  int firstError = 0;  // errno of the first datagram lost, 0 when none was
};

// Sends `datagrams` in list order on the non-blocking socket `fd`, to `destination` or, when it is
// null, to the connected peer. `gsoUsable` starts true and is cleared for good when the kernel or the
// device refuses segmentation offload. Safe to call from several threads at once.
DatagramBatchResult sendDatagramBatch(int fd, const SocketAddress* destination, std::span<const ByteView> datagrams,
                                      std::atomic<bool>& gsoUsable);

}  // namespace tavlo
