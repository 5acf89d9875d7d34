#pragma once
// Blocking UDP conversations for clients of small router protocols (NAT-PMP, SSDP): one request and
// one answer, or a search whose answers are read until one is accepted or a window ends. Both run on
// the caller's thread; their waits are bounded by the given time limits.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

struct UdpExchangeResult {
  std::optional<Bytes> reply;
  // Why there is no reply: "socket errno <n>", "connect errno <n>", "send errno <n>" or
  // "recv <result> errno <n>". Empty on success.
  std::string error;
};

// Sends `request` once from a socket connected to ipv4:port and reads one datagram of at most
// `replyCapacity` bytes (a longer one is cut), waiting at most `timeoutMs`. No retransmission. Once
// `abandon` (when given) is set the wait ends within a few milliseconds, with the error "abandoned".
UdpExchangeResult udpRequestReply(const std::string& ipv4, uint16_t port, ByteView request, size_t replyCapacity,
                                  uint32_t timeoutMs, const std::atomic<bool>* abandon = nullptr);

// Sends `request` `copies` times back to back to ipv4:port (a multicast group is fine) and hands every
// datagram that comes back (cut to `replyCapacity` bytes) with its sender's numeric IPv4 address to
// `onReply`, until `onReply` returns true, `windowMs` has passed or `abandon` (when given) is set. Returns
// false when the socket could not be made or the request could not be sent.
bool udpSearch(const std::string& ipv4, uint16_t port, ByteView request, int copies, size_t replyCapacity,
               uint32_t windowMs, const std::function<bool(ByteView reply, const std::string& sender)>& onReply,
               const std::atomic<bool>* abandon = nullptr);

// The local IPv4 address the kernel would send from toward `ipv4` (a connected UDP socket sends
// nothing); none when there is no route or the text is not an IPv4 address.
std::optional<std::string> localIPv4Toward(const std::string& ipv4);

}  // namespace tavlo
