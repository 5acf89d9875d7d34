#include <algorithm>
#include <utility>

#include "platform/mdns/service_publisher.hpp"

namespace tavlo {

class RecordingServicePublisher::Entry final : public ServicePublication {
 public:
  Entry(RecordingServicePublisher& owner, ServiceDescription service, OnPublished onPublished, OnFailure onFailure)
      : service(std::move(service)), onPublished(std::move(onPublished)), onFailure(std::move(onFailure)), owner_(owner) {}
  ~Entry() override {
    std::lock_guard guard(owner_.mutex_);
    std::erase(owner_.entries_, this);
  }

  const ServiceDescription service;
  const OnPublished onPublished;
  const OnFailure onFailure;
  bool live = false;  // the owner's mutex

 private:
  RecordingServicePublisher& owner_;
};

std::unique_ptr<ServicePublication> RecordingServicePublisher::publish(const ServiceDescription& service,
                                                                       OnPublished onPublished, OnFailure onFailure,
                                                                       OnRenamed) {
  auto entry = std::make_unique<Entry>(*this, service, std::move(onPublished), std::move(onFailure));
  std::string failure;
  {
    std::lock_guard guard(mutex_);
    failure = std::exchange(nextFailure_, {});
    entry->live = failure.empty();
    entries_.push_back(entry.get());
  }
  if (!failure.empty()) {
    if (entry->onFailure) entry->onFailure(failure);
  } else if (entry->onPublished) {
    entry->onPublished();
  }
  return entry;
}

std::vector<ServiceDescription> RecordingServicePublisher::live() const {
  std::lock_guard guard(mutex_);
  std::vector<ServiceDescription> out;
  for (const Entry* entry : entries_)
    if (entry->live) out.push_back(entry->service);
  return out;
}

void RecordingServicePublisher::failNextWith(std::string error) {
  std::lock_guard guard(mutex_);
  nextFailure_ = std::move(error);
}

void RecordingServicePublisher::failPendingWith(const std::string& error) {
  std::vector<OnFailure> report;
  {
    std::lock_guard guard(mutex_);
    for (Entry* entry : entries_) {
      entry->live = false;
      report.push_back(entry->onFailure);
    }
  }
  for (const auto& onFailure : report)
    if (onFailure) onFailure(error);
}

void RecordingServicePublisher::publishPending() {
  std::vector<OnPublished> report;
  {
    std::lock_guard guard(mutex_);
    for (Entry* entry : entries_)
      if (!std::exchange(entry->live, true)) report.push_back(entry->onPublished);
  }
  for (const auto& onPublished : report)
    if (onPublished) onPublished();
}

}  // namespace tavlo
