#include "host/controller/port_block_search.hpp"

#include "platform/net/port_probe.hpp"

namespace tavlo {
namespace {

constexpr uint32_t highestPort = 65535;

}  // namespace

PortBlockSearch::Probe PortBlockSearch::systemProbe() { return Probe{canBindTcpPort, canBindUdpPort}; }

PortBlockSearch::PortBlockSearch(Probe probe, std::function<void(uint64_t)> pause)
    : probe_(std::move(probe)), pause_(std::move(pause)) {}

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

PortBlockSearch::Result PortBlockSearch::find(uint16_t preferred) const {
  const std::string block = "blok " + std::to_string(preferred);
  // Phase 1: wait for the preferred block.
  if (blockIsFree(preferred)) return {preferred, {}};
  for (int pauses = 1; pauses < preferredTests; ++pauses) {
    pause_(retryPauseUs);
    if (blockIsFree(preferred)) {
      return {preferred, block + " zwolnił się po " + std::to_string(pauses * (retryPauseUs / 1000)) + " ms"};
    }
  }
  // Phase 2: say which of its ports stayed busy.
  std::string busy = busyPorts(preferred);
  Result result{preferred, block + " zajęty przez 40 s — zajęte: " + (busy.empty() ? "(już nic!)" : busy)};
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
