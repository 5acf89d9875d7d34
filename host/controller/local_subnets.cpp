#include "host/controller/local_subnets.hpp"

namespace tavlo {

std::vector<Subnet> LocalSubnets::systemSubnets() { return localIPv4Subnets(listIPv4Interfaces()); }

LocalSubnets::LocalSubnets(const Clock& clock, Enumerate enumerate) : clock_(clock), enumerate_(std::move(enumerate)) {}

std::vector<Subnet> LocalSubnets::current() {
  std::lock_guard guard(mutex_);
  uint64_t now = clock_.nowUs();
  if (taken_ && !cached_.empty() && now - takenAtUs_ < cacheLifetimeUs) return cached_;
  // Enumerating under the lock keeps two callers from walking the interfaces at once; it is quick.
  cached_ = enumerate_ ? enumerate_() : std::vector<Subnet>{};
  takenAtUs_ = now;
  taken_ = true;
  return cached_;
}

}  // namespace tavlo
