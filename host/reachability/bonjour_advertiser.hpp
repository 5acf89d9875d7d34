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
  // A failure to publish is logged and not retried; the host stays reachable on the other paths.
  void start(uint16_t port, const Uuid& hostID, const std::string& name);
  // Withdraws the service. Safe when idle.
  void stop();
  bool isAdvertising() const;

 private:
  void log(const std::string& line);

  const std::shared_ptr<ServicePublisher> publisher_;
  mutable std::mutex mutex_;  // the fields below
  LogSink onLog_;
  std::unique_ptr<ServicePublication> service_;
};

}  // namespace tavlo
