#include <algorithm>

#include "platform/mdns/service_publisher.hpp"

namespace tavlo {

class RecordingServicePublisher::Entry final : public ServicePublication {
 public:
  explicit Entry(RecordingServicePublisher& owner) : owner_(owner) {}
  ~Entry() override {
    std::lock_guard guard(owner_.mutex_);
    std::erase_if(owner_.live_, [&](const auto& item) { return item.first == this; });
  }

 private:
  RecordingServicePublisher& owner_;
};

std::unique_ptr<ServicePublication> RecordingServicePublisher::publish(const ServiceDescription& service,
                                                                       OnFailure onFailure, OnRenamed) {
  auto entry = std::make_unique<Entry>(*this);
  std::string failure;
  {
    std::lock_guard guard(mutex_);
    failure = std::exchange(nextFailure_, {});
    if (failure.empty()) live_.emplace_back(entry.get(), service);
  }
  if (!failure.empty() && onFailure) onFailure(failure);
  return entry;
}

std::vector<ServiceDescription> RecordingServicePublisher::live() const {
  std::lock_guard guard(mutex_);
  std::vector<ServiceDescription> out;
  for (const auto& item : live_) out.push_back(item.second);
  return out;
}

void RecordingServicePublisher::failNextWith(std::string error) {
  std::lock_guard guard(mutex_);
  nextFailure_ = std::move(error);
}

}  // namespace tavlo
