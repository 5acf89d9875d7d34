#pragma once
// Opens the host's ports on a router that speaks UPnP instead of NAT-PMP: finds the gateway device
// by an SSDP search, reads its description for a WAN connection service, asks it for the external
// address and maps the control TCP port and the media UDP ports (external = internal, 900-s lease).
// The whole procedure is repeated every 420 s; the mappings are deleted when stopped. A separate
// instance that is never started deletes what an earlier run left behind.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/reachability/upnp_messages.hpp"
#include "platform/http/http_client.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

// What the mapper talks to; tests replace each part.
struct UPnPEnvironment {
  std::shared_ptr<SerialExecutor> queue;  // default: the shared "vela.upnp" queue
  std::shared_ptr<Scheduler> scheduler;   // default: the shared reachability timers
  std::shared_ptr<HttpClient> http;       // default: libcurl
  std::string ssdpAddress = std::string(upnp::ssdpAddress);
  uint16_t ssdpPort = upnp::ssdpPort;
  uint32_t ssdpWindowMs = 3000;  // how long answers to one search are awaited
  // The private IPv4 address a router at the given host should forward to. Default: the address
  // this machine sends from toward that host when it is private, else the private address of the
  // interface that carries the default route.
  std::function<std::optional<std::string>(const std::string& host)> localAddress;
  // The default gateway's IPv4 address: among the SSDP responders, the device it serves its
  // description from is the router. Default: the system's default route.
  std::function<std::optional<std::string>()> gateway;
};

class UPnPMapper : public std::enable_shared_from_this<UPnPMapper> {
 public:
  using Environment = UPnPEnvironment;
  using Service = upnp::Service;
  using OnMapped = std::function<void(const std::string& externalIP, uint16_t controlPort)>;


  static constexpr uint64_t renewIntervalUs = 420'000'000;
  static constexpr uint32_t soapTimeoutMs = 5000;
  static constexpr uint32_t descriptionTimeoutMs = 60'000;
  static constexpr uint64_t purgeRetryDelayUs = 10'000'000;
  static constexpr int purgeAttempts = 3;

  static std::shared_ptr<UPnPMapper> create(uint16_t controlTCP, std::vector<uint16_t> udpPorts,
                                            Environment environment = {});
  ~UPnPMapper();
  UPnPMapper(const UPnPMapper&) = delete;
  UPnPMapper& operator=(const UPnPMapper&) = delete;

  // Both are called on the mapper's queue. Set them before start (they may be replaced at any time).
  void setOnLog(LogSink onLog);
  void setOnMapped(OnMapped onMapped);
  // What still reaches the host when no gateway device answers, named in the line that says so (by
  // default "NAT-PMP/relay"). Set before start.
  void setFallbackPaths(std::string paths);

  // Clears the stopped state and queues a first pass.
  void start();
  // Stops renewing; no pass starts after it and a pass under way reports nothing. With `deleteMapping`,
  // and once a pass has found a service, queues DeletePortMapping for every mapping (which goes out
  // even when the owner lets the mapper go at once).
  void stop(bool deleteMapping);
  bool isStopped() const { return stopped_.load(); }
  // Whether the router accepted mappings of this mapper that it has not been asked to delete.
  bool hasMapping() const { return holds_.load(); }

  // Clean-up of an earlier run: up to three attempts, 10 s apart, to find the gateway device.
  void purgeStaleMappings(int attempt);
  void cancelPurge() { purgeCancelled_.store(true); }
  bool purgeCancelled() const { return purgeCancelled_.load(); }

  // ("TCP", control port), then ("UDP", p) for each media port.
  const std::vector<std::pair<std::string, uint16_t>>& mappings() const { return mappings_; }

 private:
  UPnPMapper(uint16_t controlTCP, std::vector<uint16_t> udpPorts, Environment environment);

  // Mapper's queue:
  void runOnce(bool initial);
  void scheduleRenew();
  void keepHoldingOnlyIfMapped();
  void runPurge(int attempt);
  std::optional<upnp::HttpUrl> ssdpDiscover();
  std::optional<Service> fetchService(const upnp::HttpUrl& location);
  std::optional<std::string> soapGetExternalIP(const Service& service);

  void log(const std::string& line);

  const uint16_t controlTCP_;
  const std::vector<std::pair<std::string, uint16_t>> mappings_;
  const Environment env_;
  std::atomic<bool> stopped_{false};
  std::atomic<bool> purgeCancelled_{false};
  std::atomic<bool> holds_{false};

  mutable std::mutex mutex_;  // the fields below
  LogSink onLog_;
  OnMapped onMapped_;
  std::string fallbackPaths_ = "NAT-PMP/relay";
  std::optional<Scheduler::JobId> renewTimer_;
  std::optional<Service> lastService_;
  bool mapped_ = false;  // a pass mapped the whole block; renewals then keep what works
};

// One SOAP call to a service's control URL: the body of an HTTP 200 answer, none otherwise.
std::optional<std::string> soapCall(HttpClient& http, const upnp::Service& service, const std::string& action,
                                    const std::string& arguments);

}  // namespace tavlo
