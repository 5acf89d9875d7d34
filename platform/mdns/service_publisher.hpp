#pragma once
// Publishing one DNS-SD service on the local network (multicast DNS), and the in-process stand-in
// that tests use.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

struct ServiceDescription {
  std::string name;  // instance name, UTF-8
  std::string type;  // "_x._tcp"
  uint16_t port = 0;
  std::vector<std::pair<std::string, Bytes>> txt;  // TXT entries in order
};

// A live publication: the service is withdrawn when the handle goes.
class ServicePublication {
 public:
  virtual ~ServicePublication() = default;
};

class ServicePublisher {
 public:
  // The service is on the network (again). Called on the publisher's own thread.
  using OnPublished = std::function<void()>;
  // The service is not (or no longer) on the network; `error` describes why. While the handle lives
  // the publisher keeps waiting for the daemon and publishes once it is back, then reports
  // `onPublished`. Called on the publisher's own thread.
  using OnFailure = std::function<void(const std::string& error)>;
  // A name collision made the publisher pick another name. Called on the publisher's own thread.
  using OnRenamed = std::function<void(const std::string& newName)>;

  virtual ~ServicePublisher() = default;
  // Starts publishing. The handle is returned even when publishing fails at once (the failure is
  // then reported through `onFailure` before or after the return).
  virtual std::unique_ptr<ServicePublication> publish(const ServiceDescription& service, OnPublished onPublished,
                                                      OnFailure onFailure, OnRenamed onRenamed) = 0;
};

// The Avahi daemon's client library, over the D-Bus system bus.
std::shared_ptr<ServicePublisher> makeAvahiServicePublisher();

// Keeps the publications that are live, for tests; can make the next publication fail, take every
// publication off the network (the daemon went away) and put them back (the daemon appeared).
class RecordingServicePublisher final : public ServicePublisher {
 public:
  std::unique_ptr<ServicePublication> publish(const ServiceDescription& service, OnPublished onPublished,
                                              OnFailure onFailure, OnRenamed onRenamed) override;
  std::vector<ServiceDescription> live() const;
  void failNextWith(std::string error);
  // Every publication leaves the network and reports `error`.
  void failPendingWith(const std::string& error);
  // Every publication that is off the network goes live and reports it.
  void publishPending();

 private:
  class Entry;
  mutable std::mutex mutex_;
  std::vector<Entry*> entries_;  // in publishing order
  std::string nextFailure_;
};

}  // namespace tavlo
