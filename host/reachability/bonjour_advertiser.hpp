#pragma once
// Advertises the host to clients on the local network by DNS-SD: one "_tavlo._tcp" service on the
// control port, with the host ID and the display name in its TXT record, so a client can match a
// discovered service to a host it already trusts. The owner starts it while the LAN path is allowed
// and stops it when the path is switched off.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/mdns/service_publisher.hpp"
#include "platform/runtime/system_log.hpp"
#include "platform/runtime/uuid.hpp"

namespace tavlo {

class BonjourAdvertiser {
 public:
  static constexpr const char* serviceType = "_tavlo._tcp";

  // Publishes through Avahi by default.
  explicit BonjourAdvertiser(std::shared_ptr<ServicePublisher> publisher = makeAvahiServicePublisher());
  ~BonjourAdvertiser();  // stop()
  BonjourAdvertiser(const BonjourAdvertiser&) = delete;
  BonjourAdvertiser& operator=(const BonjourAdvertiser&) = delete;

  // Called from any thread, also from the publisher's thread (a failure, a rename).
  void setOnLog(LogSink onLog);

  // (Re)publishes: a running publication is withdrawn first. `name` is the computer's display name.
  // The LAN line is logged only once the service is on the network. A failure (no daemon) is logged
  // once; the publisher waits for the daemon and the service goes up when it appears. The host stays
  // reachable on the other paths meanwhile.
  void start(uint16_t port, const Uuid& hostID, const std::string& name);
  // Withdraws the service. Safe when idle.
  void stop();
  // True while the service is on the network.
  bool isAdvertising() const;

 private:
  void log(const std::string& line);
  void published(uint64_t generation);
  void failed(uint64_t generation, const std::string& error);

  const std::shared_ptr<ServicePublisher> publisher_;
  mutable std::mutex mutex_;  // the fields below
  LogSink onLog_;
  std::unique_ptr<ServicePublication> service_;
  uint64_t generation_ = 0;  // of the current publication: a withdrawn one's late reports are ignored
  // Where the current publication stands; each change to up or down is logged once.
  enum class Reach { pending, up, down };
  Reach reach_ = Reach::pending;
  std::string announcement_;      // the LAN line of the current publication
};

}  // namespace tavlo
