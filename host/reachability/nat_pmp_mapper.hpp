#pragma once
// Opens the host's ports on a home router with NAT-PMP: one contiguous block (control TCP and the
// media UDP ports) whose external ports keep the internal spacing, at the first base of a few that
// the router grants whole. Keeps the block alive, retries with a growing delay, re-maps when the
// network or the public address changes, reports the public endpoint, and deletes the block when
// stopped. A separate instance that is never started cleans up what an earlier run left behind.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/reachability/nat_pmp_messages.hpp"
#include "platform/net/path_monitor.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

// What the mapper talks to; tests replace each part.
struct NATPMPEnvironment {
  std::shared_ptr<SerialExecutor> queue;                  // default: the shared "tl.natpmp" queue
  std::shared_ptr<Scheduler> scheduler;                   // default: the shared reachability timers
  std::function<std::optional<std::string>()> gateway;   // default: the IPv4 default gateway
  uint16_t gatewayPort = natpmp::gatewayPort;
  uint32_t exchangeTimeoutMs = 1500;                      // one request, one wait of this length
  std::function<std::unique_ptr<PathMonitor>()> makePathMonitor;  // default: netlink
};

class NATPMPMapper : public std::enable_shared_from_this<NATPMPMapper> {
 public:
  using Environment = NATPMPEnvironment;
  using Proto = natpmp::Proto;
  struct Mapping {
    Proto proto;
    uint16_t internalPort;
  };
  using OnMapped = std::function<void(const std::string& publicIP, uint16_t externalControlPort)>;


  static constexpr uint32_t requestedLifetimeSec = 900;
  static constexpr uint64_t renewIntervalUs = 120'000'000;      // full re-mapping period
  // Floor when a router grants very little or nothing at all (a grant of 0 s): renewing faster only
  // floods the gateway, and a router that grants no time is not kept alive by asking every second.
  static constexpr uint64_t minRenewIntervalUs = 15'000'000;
  static constexpr uint64_t ipPollIntervalUs = 30'000'000;      // public-address poll
  static constexpr int64_t retryStepSec = 15;                  // retry delay grows by this per failure
  static constexpr int64_t retryMaxSec = 60;                   // and stops growing here

  // Mappings: TCP `controlTCP`, then UDP for each of `udpPorts` in order. Sends nothing.
  static std::shared_ptr<NATPMPMapper> create(uint16_t controlTCP, std::vector<uint16_t> udpPorts,
                                              Environment environment = {});
  ~NATPMPMapper();
  NATPMPMapper(const NATPMPMapper&) = delete;
  NATPMPMapper& operator=(const NATPMPMapper&) = delete;

  // Both are called on the I/O queue. Set them before start (they may be replaced at any time).
  void setOnLog(LogSink onLog);
  void setOnMapped(OnMapped onMapped);

  // Starts the path monitor and the public-address poll and queues a first mapping pass.
  void start();
  // Stops the monitor and the timers, abandons an exchange under way, and queues a delete of every
  // mapping the router holds (which goes out even when the owner lets the mapper go at once): a mapper
  // whose router never granted anything sends nothing. No pass runs after it. A stopped mapper is not
  // restarted.
  void stop();
  // Whether the router holds (or may hold: a request abandoned on its way) a mapping of this mapper.
  bool hasMapping() const;

  // Clean-up of an earlier run (attempt 1 at once, 2 after 5 s, later ones after 15 s); up to three attempts.
  void purgeStaleMappings(int attempt);
  // Called by the owner when it begins mapping on demand: a clean-up that has not run yet ends.
  void cancelPurge() { purgeCancelled_.store(true); }
  bool purgeCancelled() const { return purgeCancelled_.load(); }

  const std::vector<Mapping>& mappings() const { return mappings_; }

  // The mappings the router holds, shared with the deletes queued by stop(), which may outlive the mapper.
  class HeldMappings {
   public:
    void add(const Mapping& m);
    void remove(const Mapping& m);
    std::vector<Mapping> list() const;
    bool empty() const;

   private:
    mutable std::mutex mutex_;
    std::vector<Mapping> held_;
  };

 private:
  NATPMPMapper(uint16_t controlTCP, std::vector<uint16_t> udpPorts, Environment environment);

  struct RequestOutcome {
    std::optional<uint16_t> externalPort;
    uint32_t lifetimeSec = 0;
  };

  // I/O queue:
  void mapAll();
  void scheduleRenew(uint32_t grantedLifetimeSec);
  void scheduleRetry();
  void pollPublicAddress();
  void pathChanged(const NetworkPath& path);
  void runPurge(int attempt);
  std::optional<natpmp::PublicAddressAnswer> queryPublicAddress(const std::string& gateway);
  RequestOutcome requestMapping(const Mapping& m, uint16_t suggested, uint32_t lifetime, const std::string& gateway);
  std::optional<Bytes> exchange(const std::string& gateway, ByteView request);

  void log(const std::string& line);
  void replaceTimer(std::optional<Scheduler::JobId>& slot, std::optional<Scheduler::JobId> id);
  Scheduler::JobId postLater(uint64_t delayUs, uint64_t intervalUs, std::function<void(NATPMPMapper&)> step);

  const std::vector<Mapping> mappings_;
  const uint16_t controlInternal_;
  const Environment env_;
  std::atomic<bool> purgeCancelled_{false};
  std::atomic<bool> stopped_{false};
  const std::shared_ptr<HeldMappings> held_ = std::make_shared<HeldMappings>();

  // I/O queue only:
  std::optional<uint16_t> lastGoodBase_;
  uint32_t lastEpoch_ = 0;
  int retryCount_ = 0;
  std::optional<std::string> lastIfName_;
  std::optional<std::string> lastPublicIP_;
  std::optional<std::string> publicIP_;
  std::optional<uint16_t> publicControlPort_;
  std::string lastTransportError_;
  std::string lastRequestFailure_;

  mutable std::mutex mutex_;  // the fields below
  LogSink onLog_;
  OnMapped onMapped_;
  std::optional<Scheduler::JobId> timer_;  // renewal or retry, one at a time
  std::optional<Scheduler::JobId> ipPollTimer_;
  std::unique_ptr<PathMonitor> pathMonitor_;
};

}  // namespace tavlo
