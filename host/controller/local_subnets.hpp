#pragma once
// The machine's local IPv4 subnets for the path classification, enumerated at most every 30 s. The
// probe responder's thread asks too, so the cache has a lock of its own.
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "host/controller/path_kind.hpp"
#include "platform/runtime/clock.hpp"

namespace tavlo {

class LocalSubnets {
 public:
  // A list younger than this is reused.
  static constexpr uint64_t cacheLifetimeUs = 30'000'000;
  // The subnets of the interfaces that count as the local network (no loopback, no tunnels).
  using Enumerate = std::function<std::vector<Subnet>()>;

  // The subnets of this machine's interfaces, loopback, tunnels and point-to-point links left out.
  static std::vector<Subnet> systemSubnets();

  // Without `enumerate` the list is always empty: every private IPv4 peer then counts as a VPN peer.
  LocalSubnets(const Clock& clock, Enumerate enumerate);

  // The cached list, or a fresh one when the cache is older than 30 s or empty. Any thread.
  std::vector<Subnet> current();

 private:
  const Clock& clock_;
  const Enumerate enumerate_;
  std::mutex mutex_;  // the fields below
  std::vector<Subnet> cached_;
  uint64_t takenAtUs_ = 0;
  bool taken_ = false;
};

}  // namespace tavlo
