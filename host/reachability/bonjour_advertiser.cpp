#include "host/reachability/bonjour_advertiser.hpp"

namespace tavlo {
namespace {

// The log shows only the start of the host ID.
constexpr size_t loggedHostIdCharacters = 8;

}  // namespace

BonjourAdvertiser::BonjourAdvertiser(std::shared_ptr<ServicePublisher> publisher) : publisher_(std::move(publisher)) {}

BonjourAdvertiser::~BonjourAdvertiser() { stop(); }

void BonjourAdvertiser::setOnLog(LogSink onLog) {
  std::lock_guard guard(mutex_);
  onLog_ = std::move(onLog);
}

void BonjourAdvertiser::log(const std::string& line) {
  LogSink sink;
  {
    std::lock_guard guard(mutex_);
    sink = onLog_;
  }
  if (sink) sink(line);
}

void BonjourAdvertiser::start(uint16_t port, const Uuid& hostID, const std::string& name) {
  stop();
  const std::string hid = hostID.uuidString();
  ServiceDescription service{name, serviceType, port, {{"hid", toBytes(hid)}, {"name", toBytes(name)}}};
  // The publisher's callbacks may outlive a restart; they only log, through the owner's sink.
  auto logLine = [this](const std::string& line) { log(line); };
  auto publication = publisher_->publish(
      service, [logLine](const std::string& error) { logLine("📡 Bonjour: publikacja nieudana " + error); },
      [logLine](const std::string& renamed) { logLine("📡 Bonjour: nazwa zajęta w LAN — rozgłaszam jako " + renamed); });
  {
    std::lock_guard guard(mutex_);
    service_ = std::move(publication);
  }
  log("📡 Bonjour: rozgłaszam host w LAN (" + std::string(serviceType) + ":" + std::to_string(port) + ", hid " +
      hid.substr(0, loggedHostIdCharacters) + "…)");
}

void BonjourAdvertiser::stop() {
  std::unique_ptr<ServicePublication> publication;
  {
    std::lock_guard guard(mutex_);
    publication = std::move(service_);
  }
  publication.reset();  // outside the lock: withdrawing waits for the publisher's thread
}

bool BonjourAdvertiser::isAdvertising() const {
  std::lock_guard guard(mutex_);
  return service_ != nullptr;
}

}  // namespace tavlo
