#include "host/reachability/upnp_mapper.hpp"

#include <arpa/inet.h>

#include "host/reachability/reachability_runtime.hpp"
#include "platform/net/network_interfaces.hpp"
#include "platform/net/route_table.hpp"
#include "platform/net/udp_exchange.hpp"
#include "protocol/byte_reader.hpp"

namespace tavlo {
namespace {

// An SSDP answer is a few hundred bytes; one datagram of this size holds any real one.
constexpr size_t ssdpReplyCapacity = 2048;
// The search goes out twice, back to back, in case one copy is lost.
constexpr int ssdpCopies = 2;

bool isUtf8(const std::string& text) {
  return vela::ByteReader::repairedUtf8(ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size())) == text;
}

std::optional<std::string> defaultLocalAddress(const std::string& host) {
  if (auto toward = localIPv4Toward(host)) {
    in_addr parsed{};
    if (inet_pton(AF_INET, toward->c_str(), &parsed) == 1 && isPrivateIPv4(ntohl(parsed.s_addr))) return toward;
  }
  auto route = currentDefaultRoute();
  return preferredPrivateIPv4(listIPv4Interfaces(), route ? route->interfaceName : std::string());
}

}  // namespace

std::optional<std::string> soapCall(HttpClient& http, const upnp::Service& service, const std::string& action,
                                    const std::string& arguments) {
  HttpRequest request;
  request.method = "POST";
  request.url = service.controlURL;
  request.timeoutMs = UPnPMapper::soapTimeoutMs;
  request.headers = {{"Content-Type", "text/xml; charset=\"utf-8\""},
                     {"SOAPAction", "\"" + service.serviceType + "#" + action + "\""}};
  request.body = upnp::soapBody(service.serviceType, action, arguments);
  auto response = http.send(request);
  if (!response.completed || response.status != 200 || !isUtf8(response.body)) return std::nullopt;
  return std::move(response.body);
}

std::shared_ptr<UPnPMapper> UPnPMapper::create(uint16_t controlTCP, std::vector<uint16_t> udpPorts,
                                               Environment environment) {
  if (!environment.queue) environment.queue = sharedUpnpQueue();
  if (!environment.scheduler) environment.scheduler = sharedReachabilityScheduler();
  if (!environment.http) environment.http = makeCurlHttpClient();
  if (!environment.localAddress) environment.localAddress = defaultLocalAddress;
  if (!environment.gateway) environment.gateway = defaultGatewayIPv4;
  return std::shared_ptr<UPnPMapper>(new UPnPMapper(controlTCP, std::move(udpPorts), std::move(environment)));
}

UPnPMapper::UPnPMapper(uint16_t controlTCP, std::vector<uint16_t> udpPorts, Environment environment)
    : controlTCP_(controlTCP),
      mappings_([&] {
        std::vector<std::pair<std::string, uint16_t>> list{{"TCP", controlTCP}};
        for (uint16_t p : udpPorts) list.emplace_back("UDP", p);
        return list;
      }()),
      env_(std::move(environment)) {}

UPnPMapper::~UPnPMapper() {
  std::optional<Scheduler::JobId> timer;
  {
    std::lock_guard guard(mutex_);
    timer = renewTimer_;
  }
  if (timer) env_.scheduler->cancel(*timer);
}

void UPnPMapper::setOnLog(LogSink onLog) {
  std::lock_guard guard(mutex_);
  onLog_ = std::move(onLog);
}

void UPnPMapper::setOnMapped(OnMapped onMapped) {
  std::lock_guard guard(mutex_);
  onMapped_ = std::move(onMapped);
}

void UPnPMapper::log(const std::string& line) {
  LogSink sink;
  {
    std::lock_guard guard(mutex_);
    sink = onLog_;
  }
  if (sink) sink(line);
}

void UPnPMapper::setFallbackPaths(std::string paths) {
  std::lock_guard guard(mutex_);
  fallbackPaths_ = std::move(paths);
}

void UPnPMapper::start() {
  stopped_.store(false);
  env_.queue->post([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->runOnce(true);
  });
}

void UPnPMapper::stop(bool deleteMapping) {
  std::optional<Scheduler::JobId> timer;
  std::optional<Service> service;
  {
    std::lock_guard guard(mutex_);
    stopped_.store(true);
    timer = std::exchange(renewTimer_, std::nullopt);
    // Only a router that accepted a mapping is asked to delete it.
    if (deleteMapping && holds_.load()) service = lastService_;
  }
  if (timer) env_.scheduler->cancel(*timer);
  if (!service) return;
  holds_.store(false);
  // The deletes carry the service and the ports, so they run even if the mapper is gone by then.
  env_.queue->post([http = env_.http, service = *service, mappings = mappings_] {
    for (const auto& [proto, port] : mappings)
      (void)soapCall(*http, service, "DeletePortMapping", upnp::deletePortMappingArguments(proto, port));
  });
}

std::optional<upnp::HttpUrl> UPnPMapper::ssdpDiscover() {
  // Other devices of the LAN (media servers, a second access point) may answer first: the router is
  // the one that sits on the default gateway's address. Without a known gateway the first answer wins;
  // with one, the search waits its window for the gateway and falls back to the first answer.
  const std::optional<std::string> gateway = env_.gateway();
  std::optional<upnp::HttpUrl> first;
  std::optional<upnp::HttpUrl> fromGateway;
  const std::string request = upnp::ssdpSearchRequest();
  (void)udpSearch(env_.ssdpAddress, env_.ssdpPort, toBytes(request), ssdpCopies, ssdpReplyCapacity, env_.ssdpWindowMs,
                  [&](ByteView reply, const std::string& sender) {
                    auto location = upnp::ssdpLocation(reply, sender);
                    if (!location) return false;
                    if (gateway && location->host == *gateway) {
                      fromGateway = std::move(location);
                      return true;
                    }
                    if (!first) first = std::move(location);
                    return !gateway;
                  },
                  &stopped_);  // a mapper stopped meanwhile does not wait out the search window
  return fromGateway ? fromGateway : first;
}

std::optional<UPnPMapper::Service> UPnPMapper::fetchService(const upnp::HttpUrl& location) {
  HttpRequest request;
  request.url = location.text;
  request.timeoutMs = descriptionTimeoutMs;
  auto response = env_.http->send(request);
  // The status is not checked: whatever description arrives is searched.
  if (!response.completed || !isUtf8(response.body)) return std::nullopt;
  return upnp::findWanService(response.body, location);
}

std::optional<std::string> UPnPMapper::soapGetExternalIP(const Service& service) {
  auto response = soapCall(*env_.http, service, "GetExternalIPAddress", "");
  if (!response) return std::nullopt;
  return upnp::externalAddress(*response);
}

void UPnPMapper::runOnce(bool initial) {
  if (stopped_.load()) return;
  auto location = ssdpDiscover();
  if (!location) {
    if (initial) {
      std::string fallback;
      {
        std::lock_guard guard(mutex_);
        fallback = fallbackPaths_;
      }
      log("🌐 UPnP: brak odpowiedzi SSDP (router nie mówi UPnP albo blokuje) — zostaje " + fallback);
    }
    return;
  }
  if (stopped_.load()) return;
  auto service = fetchService(*location);
  if (!service) return log("🌐 UPnP: opis urządzenia bez serwisu WANConnection — pomijam");
  auto local = env_.localAddress(service->host);
  if (!local) return log("🌐 UPnP: nie znam lokalnego IPv4 — pomijam");
  auto external = soapGetExternalIP(*service);
  if (!external) return log("🌐 UPnP: GetExternalIPAddress nie zwrócił adresu — pomijam");
  {
    std::lock_guard guard(mutex_);
    // Stopped before any mapping exists: nothing is added (stop() may not have seen the service).
    if (stopped_.load()) return;
    lastService_ = *service;
    // From the first request on the router may hold a mapping: a stop meanwhile deletes the block.
    holds_.store(true);
  }
  std::vector<size_t> accepted;
  for (size_t i = 0; i < mappings_.size(); ++i) {
    const auto& [proto, port] = mappings_[i];
    if (soapCall(*env_.http, *service, "AddPortMapping", upnp::addPortMappingArguments(proto, port, *local)))
      accepted.push_back(i);
  }
  if (accepted.empty()) {
    keepHoldingOnlyIfMapped();
    return log("🌐 UPnP: AddPortMapping odrzucone przez router — pomijam");
  }
  bool renewing = false;
  {
    std::lock_guard guard(mutex_);
    renewing = !initial && mapped_;
  }
  if (accepted.size() < mappings_.size() && renewing) {
    // The block was mapped whole before: what the router refused now may be a passing fault and its
    // earlier lease still runs. Deleting the accepted ones would take down a working endpoint, so keep
    // them, say so, and try again at the next renewal.
    std::string refused;
    for (size_t i = 0, a = 0; i < mappings_.size(); ++i) {
      if (a < accepted.size() && accepted[a] == i) {
        ++a;
        continue;
      }
      refused += (refused.empty() ? "" : ", ") + mappings_[i].first + " " + std::to_string(mappings_[i].second);
    }
    return log("🌐 UPnP: odnowienie — router odrzucił " + refused + " (przyjął " + std::to_string(accepted.size()) +
               "/" + std::to_string(mappings_.size()) +
               ") — zostawiam działające mapowania, ponowię przy następnym odnowieniu");
  }
  if (accepted.size() < mappings_.size()) {
    // An endpoint is only worth publishing when every port of the block reaches this host.
    for (size_t i : accepted)
      (void)soapCall(*env_.http, *service, "DeletePortMapping",
                     upnp::deletePortMappingArguments(mappings_[i].first, mappings_[i].second));
    keepHoldingOnlyIfMapped();
    return log("🌐 UPnP: router przyjął tylko " + std::to_string(accepted.size()) + "/" +
               std::to_string(mappings_.size()) + " mapowań — zdejmuję przyjęte, NIE ogłaszam toru NAT");
  }
  const char* tag = service->serviceType.ends_with("2") ? "IPv2" : "IPv1";
  log(std::string("🌐 UPnP: zmapowano na routerze (") + tag + ") — host osiągalny na " + *external + ":" +
      std::to_string(controlTCP_));
  OnMapped report;
  {
    std::lock_guard guard(mutex_);
    mapped_ = true;
    if (!stopped_.load()) report = onMapped_;  // a pass that outlived stop() reports nothing
  }
  if (report) report(*external, controlTCP_);
  scheduleRenew();
}

void UPnPMapper::keepHoldingOnlyIfMapped() {
  // A block an earlier pass mapped whole keeps its leases; otherwise the router holds nothing of ours.
  std::lock_guard guard(mutex_);
  if (!mapped_) holds_.store(false);
}

void UPnPMapper::scheduleRenew() {
  auto id = env_.scheduler->every(renewIntervalUs, [weak = weak_from_this(), queue = env_.queue] {
    queue->post([weak] {
      if (auto self = weak.lock()) self->runOnce(false);
    });
  });
  std::optional<Scheduler::JobId> dropped;
  {
    std::lock_guard guard(mutex_);
    dropped = stopped_.load() ? std::optional(id) : std::exchange(renewTimer_, id);
  }
  if (dropped) env_.scheduler->cancel(*dropped);
}

void UPnPMapper::purgeStaleMappings(int attempt) {
  auto run = [self = shared_from_this(), attempt] {
    self->env_.queue->post([self, attempt] { self->runPurge(attempt); });
  };
  if (attempt <= 1) return run();
  env_.scheduler->after(purgeRetryDelayUs, std::move(run));
}

void UPnPMapper::runPurge(int attempt) {
  if (purgeCancelled_.load()) return;
  auto location = ssdpDiscover();
  auto service = location ? fetchService(*location) : std::nullopt;
  if (!service) {
    if (attempt >= purgeAttempts)
      return log("🌐 UPnP: sprzątanie — brak IGD w sieci po 3 próbach (nic do zdjęcia albo router bez UPnP)");
    return purgeStaleMappings(attempt + 1);
  }
  if (purgeCancelled_.load()) return log("🌐 UPnP: sprzątanie odwołane — mapowanie na żądanie już założone");
  size_t deleted = 0;
  for (const auto& [proto, port] : mappings_)
    if (soapCall(*env_.http, *service, "DeletePortMapping", upnp::deletePortMappingArguments(proto, port))) ++deleted;
  log("🌐 UPnP: sprzątanie stęchłych mapowań po poprzedniej instancji — " + std::to_string(deleted) + "/" +
      std::to_string(mappings_.size()) + " usuniętych (próba #" + std::to_string(attempt) + ")");
}

}  // namespace tavlo
