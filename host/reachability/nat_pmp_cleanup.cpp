// Clean-up of the mappings an earlier run of the host left on the router.
#include "host/reachability/nat_pmp_mapper.hpp"

namespace tavlo {
namespace {

// Attempts after the first wait this long, so a router that is still starting gets a chance.
constexpr uint64_t secondAttemptDelayUs = 5'000'000;
constexpr uint64_t laterAttemptDelayUs = 15'000'000;
// Attempts beyond this leave the leases to run out on the router.
constexpr int lastAttempt = 3;

std::string joined(const std::vector<std::string>& notes) {
  std::string out;
  for (const auto& note : notes) out += (out.empty() ? "" : " ") + note;
  return out;
}

}  // namespace

void NATPMPMapper::purgeStaleMappings(int attempt) {
  // The clean-up holds the mapper until it has run, whatever the owner does meanwhile.
  auto run = [self = shared_from_this(), attempt] {
    self->env_.queue->post([self, attempt] { self->runPurge(attempt); });
  };
  if (attempt <= 1) return run();
  env_.scheduler->after(attempt == 2 ? secondAttemptDelayUs : laterAttemptDelayUs, std::move(run));
}

void NATPMPMapper::runPurge(int attempt) {
  if (purgeCancelled_.load()) return log("🌐 NAT-PMP: sprzątanie odwołane — mapowanie na żądanie już założone");
  auto gateway = env_.gateway();
  if (!gateway) return log("🌐 NAT-PMP: sprzątanie — brak bramy domyślnej");
  size_t succeeded = 0;
  std::vector<std::string> failures;
  for (const auto& m : mappings_) {
    if (requestMapping(m, 0, 0, *gateway).externalPort) {
      ++succeeded;
      continue;
    }
    failures.push_back((m.proto == Proto::tcp ? "tcp" : "udp") + std::to_string(m.internalPort) + ":" +
                       lastRequestFailure_);
  }
  const std::string count = std::to_string(mappings_.size());
  if (failures.empty())
    return log("🌐 NAT-PMP: stęchłe mapowania po poprzedniej instancji zdjęte (" + count + "/" + count + ", brama " +
               *gateway + ", próba #" + std::to_string(attempt) + ")");
  if (attempt >= lastAttempt)
    return log("🌐 NAT-PMP: sprzątanie nieudane po 3 próbach (" + joined(failures) +
               ") — lease wygaśnie sam (≤15 min nowe / ≤2 h stare)");
  log("🌐 NAT-PMP: sprzątanie " + std::to_string(succeeded) + "/" + count + " (próba #" + std::to_string(attempt) +
      ": " + joined(failures) + ") — ponowię");
  purgeStaleMappings(attempt + 1);
}

}  // namespace tavlo
