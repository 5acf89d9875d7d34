#include "host/reachability/nat_pmp_mapper.hpp"

#include <algorithm>
#include <limits>

#include "host/reachability/reachability_runtime.hpp"
#include "platform/net/route_table.hpp"
#include "platform/net/udp_exchange.hpp"

namespace tavlo {
namespace {

// External control ports tried in turn: the internal one and four more, ten apart.
constexpr int baseCandidateCount = 5;
constexpr uint16_t baseCandidateStep = 10;

}  // namespace

std::shared_ptr<NATPMPMapper> NATPMPMapper::create(uint16_t controlTCP, std::vector<uint16_t> udpPorts,
                                                   Environment environment) {
  if (!environment.queue) environment.queue = sharedNatPmpQueue();
  if (!environment.scheduler) environment.scheduler = sharedReachabilityScheduler();
  if (!environment.gateway) environment.gateway = defaultGatewayIPv4;
  if (!environment.makePathMonitor)
    environment.makePathMonitor = [] { return std::make_unique<NetlinkPathMonitor>(); };
  return std::shared_ptr<NATPMPMapper>(new NATPMPMapper(controlTCP, std::move(udpPorts), std::move(environment)));
}

NATPMPMapper::NATPMPMapper(uint16_t controlTCP, std::vector<uint16_t> udpPorts, Environment environment)
    : mappings_([&] {
        std::vector<Mapping> list{{Proto::tcp, controlTCP}};
        for (uint16_t p : udpPorts) list.push_back({Proto::udp, p});
        return list;
      }()),
      controlInternal_(controlTCP),
      env_(std::move(environment)) {}

NATPMPMapper::~NATPMPMapper() {
  std::unique_ptr<PathMonitor> monitor;
  std::optional<Scheduler::JobId> timer, poll;
  {
    std::lock_guard guard(mutex_);
    monitor = std::move(pathMonitor_);
    timer = timer_;
    poll = ipPollTimer_;
  }
  if (monitor) monitor->stop();
  if (timer) env_.scheduler->cancel(*timer);
  if (poll) env_.scheduler->cancel(*poll);
}

void NATPMPMapper::setOnLog(LogSink onLog) {
  std::lock_guard guard(mutex_);
  onLog_ = std::move(onLog);
}

void NATPMPMapper::setOnMapped(OnMapped onMapped) {
  std::lock_guard guard(mutex_);
  onMapped_ = std::move(onMapped);
}

void NATPMPMapper::log(const std::string& line) {
  LogSink sink;
  {
    std::lock_guard guard(mutex_);
    sink = onLog_;
  }
  if (sink) sink(line);
}

Scheduler::JobId NATPMPMapper::postLater(uint64_t delayUs, uint64_t intervalUs,
                                         std::function<void(NATPMPMapper&)> step) {
  // The timer job only queues the step: the mapper's work always runs on its queue.
  auto job = [weak = weak_from_this(), queue = env_.queue, step = std::move(step)] {
    queue->post([weak, step] {
      if (auto self = weak.lock(); self && !self->stopped_.load()) step(*self);
    });
  };
  return intervalUs == 0 ? env_.scheduler->after(delayUs, std::move(job))
                         : env_.scheduler->every(intervalUs, std::move(job), delayUs);
}

void NATPMPMapper::replaceTimer(std::optional<Scheduler::JobId>& slot, std::optional<Scheduler::JobId> id) {
  std::optional<Scheduler::JobId> dropped;
  {
    std::lock_guard guard(mutex_);
    // Once stop() has taken the timers, a timer armed by a pass still under way goes at once.
    dropped = stopped_.load() ? id : std::exchange(slot, id);
  }
  if (dropped) env_.scheduler->cancel(*dropped);
}

void NATPMPMapper::start() {
  auto monitor = env_.makePathMonitor();
  PathMonitor* raw = monitor.get();
  {
    std::lock_guard guard(mutex_);
    pathMonitor_ = std::move(monitor);
  }
  auto weak = weak_from_this();
  raw->start([weak, queue = env_.queue](const NetworkPath& path) {
    queue->post([weak, path] {
      if (auto self = weak.lock(); self && !self->stopped_.load()) self->pathChanged(path);
    });
  });
  replaceTimer(ipPollTimer_, postLater(ipPollIntervalUs, ipPollIntervalUs, [](NATPMPMapper& m) { m.pollPublicAddress(); }));
  env_.queue->post([weak] {
    if (auto self = weak.lock(); self && !self->stopped_.load()) self->mapAll();
  });
}

void NATPMPMapper::stop() {
  std::unique_ptr<PathMonitor> monitor;
  std::optional<Scheduler::JobId> timer, poll;
  {
    std::lock_guard guard(mutex_);
    stopped_.store(true);
    monitor = std::move(pathMonitor_);
    timer = std::exchange(timer_, std::nullopt);
    poll = std::exchange(ipPollTimer_, std::nullopt);
  }
  if (monitor) monitor->stop();
  if (timer) env_.scheduler->cancel(*timer);
  if (poll) env_.scheduler->cancel(*poll);
  // The deletes carry everything they need, so they go out even if the mapper is gone by then. They run
  // after the pass under way (abandoned at its next exchange) and take what the router holds then.
  env_.queue->post([held = held_, gateway = env_.gateway, port = env_.gatewayPort, timeoutMs = env_.exchangeTimeoutMs] {
    for (const auto& m : held->list()) {
      auto address = gateway();
      if (!address) continue;
      auto request = natpmp::mappingRequest(m.proto, m.internalPort, 0, 0);
      (void)udpRequestReply(*address, port, request, natpmp::replyCapacity, timeoutMs);
      held->remove(m);
    }
  });
}

bool NATPMPMapper::hasMapping() const { return !held_->empty(); }

void NATPMPMapper::HeldMappings::add(const Mapping& m) {
  std::lock_guard guard(mutex_);
  for (const auto& h : held_)
    if (h.proto == m.proto && h.internalPort == m.internalPort) return;
  held_.push_back(m);
}

void NATPMPMapper::HeldMappings::remove(const Mapping& m) {
  std::lock_guard guard(mutex_);
  std::erase_if(held_, [&](const Mapping& h) { return h.proto == m.proto && h.internalPort == m.internalPort; });
}

std::vector<NATPMPMapper::Mapping> NATPMPMapper::HeldMappings::list() const {
  std::lock_guard guard(mutex_);
  return held_;
}

bool NATPMPMapper::HeldMappings::empty() const {
  std::lock_guard guard(mutex_);
  return held_.empty();
}

std::optional<Bytes> NATPMPMapper::exchange(const std::string& gateway, ByteView request) {
  // stop() abandons the wait: a host that ends does not wait out a gateway that never answers.
  auto result = udpRequestReply(gateway, env_.gatewayPort, request, natpmp::replyCapacity, env_.exchangeTimeoutMs,
                                &stopped_);
  lastTransportError_ = result.error;
  return std::move(result.reply);
}

std::optional<natpmp::PublicAddressAnswer> NATPMPMapper::queryPublicAddress(const std::string& gateway) {
  auto reply = exchange(gateway, natpmp::publicAddressRequest());
  if (!reply) return std::nullopt;
  return natpmp::parsePublicAddressAnswer(*reply);
}

NATPMPMapper::RequestOutcome NATPMPMapper::requestMapping(const Mapping& m, uint16_t suggested, uint32_t lifetime,
                                                          const std::string& gateway) {
  const bool deleting = suggested == 0 && lifetime == 0;
  // A request abandoned on its way may still have reached the router: until its answer says otherwise
  // the mapping counts as held, so that stop() takes it down.
  if (!deleting) held_->add(m);
  auto reply = exchange(gateway, natpmp::mappingRequest(m.proto, m.internalPort, suggested, lifetime));
  auto answer = reply ? natpmp::parseMappingAnswer(*reply) : std::nullopt;
  if (!answer && stopped_.load()) return {};
  if (deleting || !answer || answer->resultCode != 0) held_->remove(m);
  if (!answer) {
    lastRequestFailure_ = "brak/krótka odpowiedź (" + lastTransportError_ + ")";
    return {};
  }
  if (answer->resultCode != 0) {
    lastRequestFailure_ = "result=" + std::to_string(answer->resultCode);
    return {};
  }
  return {answer->externalPort, answer->lifetimeSec};
}

void NATPMPMapper::mapAll() {
  if (stopped_.load()) return;
  auto gateway = env_.gateway();
  if (!gateway) {
    log("🌐 NAT-PMP: brak bramy domyślnej — ponowię (może sieć wstaje)");
    return scheduleRetry();
  }
  log("🌐 NAT-PMP: brama " + *gateway + " — pytam o publiczny adres…");
  auto answer = queryPublicAddress(*gateway);
  if (stopped_.load()) return;  // abandoned: the host goes, nothing is retried or said
  if (!answer) {
    log("🌐 NAT-PMP: brak odpowiedzi na zapytanie o adres — PONOWIĘ (router chwilowo zajęty?)");
    return scheduleRetry();
  }
  if (lastEpoch_ != 0 && answer->epoch < lastEpoch_)
    log("🌐 NAT-PMP: router zresetowany (epoch " + std::to_string(lastEpoch_) + "→" + std::to_string(answer->epoch) +
        ") — re-mapuję");
  lastEpoch_ = answer->epoch;
  publicIP_ = answer->address;
  if (lastPublicIP_ && *lastPublicIP_ != answer->address)
    log("🌐 NAT-PMP: ZMIANA publicznego IP " + *lastPublicIP_ + " → " + answer->address + " — re-publikuję endpoint");
  lastPublicIP_ = answer->address;
  const std::string address = answer->address;
  log("🌐 NAT-PMP: publiczny adres = " + address + " — mapuję porty…");

  std::vector<uint16_t> candidates;
  for (int i = 0; i < baseCandidateCount; ++i)
    candidates.push_back(static_cast<uint16_t>(controlInternal_ + i * baseCandidateStep));
  if (lastGoodBase_) {
    std::erase(candidates, *lastGoodBase_);
    candidates.insert(candidates.begin(), *lastGoodBase_);
  }

  for (uint16_t base : candidates) {
    std::vector<Mapping> made;
    uint32_t granted = std::numeric_limits<uint32_t>::max();
    bool whole = true;
    for (const auto& m : mappings_) {
      auto suggested = static_cast<uint16_t>(m.internalPort - controlInternal_ + base);
      auto outcome = requestMapping(m, suggested, requestedLifetimeSec, *gateway);
      // Stopped meanwhile: what the router holds is deleted by the stop's own job.
      if (stopped_.load()) return;
      if (outcome.externalPort && *outcome.externalPort == suggested) {
        made.push_back(m);
        granted = std::min(granted, outcome.lifetimeSec);
        continue;
      }
      // Another external port breaks the block's spacing: that mapping goes at once.
      if (outcome.externalPort) (void)requestMapping(m, 0, 0, *gateway);
      whole = false;
      break;
    }
    if (!whole) {
      // A base that was good before keeps what was just renewed on it: those mappings are live.
      if (!(lastGoodBase_ && *lastGoodBase_ == base))
        for (const auto& m : made) (void)requestMapping(m, 0, 0, *gateway);
      log("🌐 NAT-PMP: baza " + std::to_string(base) + " niedostępna w całości — próbuję następnej");
      continue;
    }
    publicControlPort_ = base;
    lastGoodBase_ = base;
    int span = 0;
    for (const auto& m : mappings_) span = std::max(span, int(m.internalPort) - int(controlInternal_));
    log("🌐 NAT-PMP: host osiągalny z internetu na " + address + ":" + std::to_string(base) + " (spójny blok " +
        std::to_string(base) + "–" + std::to_string(base + span) + ", control TCP)");
    OnMapped report;
    {
      std::lock_guard guard(mutex_);
      if (!stopped_.load()) report = onMapped_;  // a pass that outlived stop() reports nothing
    }
    if (report) report(address, base);
    retryCount_ = 0;
    return scheduleRenew(granted);
  }
  publicControlPort_.reset();
  log("🌐 NAT-PMP: router nie dał spójnego bloku portów (inny host za tym samym NAT-em?) — NIE ogłaszam toru NAT, "
      "zostaje przekaźnik");
  scheduleRetry();
}

void NATPMPMapper::scheduleRenew(uint32_t grantedLifetimeSec) {
  // Half the granted lease, so a router that grants less than asked does not let the block lapse.
  uint64_t halfLeaseUs = uint64_t{grantedLifetimeSec} * 1'000'000 / 2;
  uint64_t delayUs = std::max(std::min(renewIntervalUs, halfLeaseUs), minRenewIntervalUs);
  replaceTimer(timer_, postLater(delayUs, 0, [](NATPMPMapper& m) { m.mapAll(); }));
}

void NATPMPMapper::scheduleRetry() {
  retryCount_ += 1;
  int64_t delaySec = std::min<int64_t>(int64_t{retryCount_} * retryStepSec, retryMaxSec);
  log("🌐 NAT-PMP: ponowna próba za " + std::to_string(delaySec) + " s (#" + std::to_string(retryCount_) + ")");
  replaceTimer(timer_, postLater(static_cast<uint64_t>(delaySec) * 1'000'000, 0, [](NATPMPMapper& m) { m.mapAll(); }));
}

void NATPMPMapper::pollPublicAddress() {
  auto gateway = env_.gateway();
  if (!gateway) return;
  auto answer = queryPublicAddress(*gateway);
  if (stopped_.load() || !answer || !lastPublicIP_ || *lastPublicIP_ == answer->address) return;
  log("🌐 NAT-PMP: szybki monitor — IP " + *lastPublicIP_ + " → " + answer->address + ", re-map+re-publish");
  mapAll();
}

void NATPMPMapper::pathChanged(const NetworkPath& path) {
  bool changed = path.interfaceName != lastIfName_;
  lastIfName_ = path.interfaceName;
  if (!path.satisfied || !changed) return;
  log("🌐 NAT-PMP: zmiana sieci (" + path.interfaceName.value_or("?") + ") — re-mapuję");
  retryCount_ = 0;
  env_.queue->post([self = shared_from_this()] {
    if (!self->stopped_.load()) self->mapAll();
  });
}

}  // namespace tavlo
