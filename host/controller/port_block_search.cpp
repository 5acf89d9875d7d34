#include "host/controller/port_block_search.hpp"

#include "platform/net/port_probe.hpp"

namespace tavlo {
namespace {

constexpr uint32_t highestPort = 65535;

}  // namespace

PortBlockSearch::Probe PortBlockSearch::systemProbe() { return Probe{canBindTcpPort, canBindUdpPort}; }

PortBlockSearch::PortBlockSearch(Probe probe) : probe_(std::move(probe)) {}

bool PortBlockSearch::blockIsFree(uint16_t base) const {
  if (uint32_t(base) + blockSize - 1 > highestPort) return false;
  if (!probe_.tcpFree(base)) return false;
  for (uint16_t i = 1; i < blockSize; ++i) {
    if (!probe_.udpFree(static_cast<uint16_t>(base + i))) return false;
  }
  return true;
}

std::string PortBlockSearch::busyPorts(uint16_t base) const {
  std::string list;
  auto add = [&](uint32_t port, const char* protocol) {
    if (!list.empty()) list += ' ';
    list += std::to_string(port) + protocol;
  };
  if (!probe_.tcpFree(base)) add(base, "/tcp");
  for (uint32_t port = uint32_t(base) + 1; port < uint32_t(base) + blockSize && port <= highestPort; ++port) {
    if (!probe_.udpFree(static_cast<uint16_t>(port))) add(port, "/udp");
  }
  return list;
}

std::optional<PortBlockSearch::Result> PortBlockSearch::test(uint16_t preferred, int pauses) const {
  // Phase 1: wait for the preferred block.
  if (blockIsFree(preferred)) {
    if (pauses == 0) return Result{preferred, {}};
    return Result{preferred, "blok " + std::to_string(preferred) + " zwolnił się po " +
                                 std::to_string(uint64_t(pauses) * (retryPauseUs / 1000)) + " ms"};
  }
  if (pauses + 1 < preferredTests) return std::nullopt;
  return alternativeTo(preferred);
}

PortBlockSearch::Result PortBlockSearch::alternativeTo(uint16_t preferred) const {
  // Phase 2: say which of its ports stayed busy.
  std::string busy = busyPorts(preferred);
  Result result{preferred, "blok " + std::to_string(preferred) + " zajęty przez 40 s — zajęte: " +
                               (busy.empty() ? "(już nic!)" : busy)};
  // Phase 3: the first free block above it.
  for (int k = 1; k <= alternativeCandidates; ++k) {
    uint32_t candidate = uint32_t(preferred) + uint32_t(k) * blockSize;
    if (candidate + blockSize - 1 > highestPort) break;
    if (blockIsFree(static_cast<uint16_t>(candidate))) {
      result.base = static_cast<uint16_t>(candidate);
      return result;
    }
  }
  return result;
}

}  // namespace tavlo
