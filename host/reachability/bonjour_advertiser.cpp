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
  uint64_t generation = 0;
  {
    std::lock_guard guard(mutex_);
    generation = ++generation_;
    reach_ = Reach::pending;
    announcement_ = "📡 Bonjour: rozgłaszam host w LAN (" + std::string(serviceType) + ":" + std::to_string(port) +
                    ", hid " + hid.substr(0, loggedHostIdCharacters) + "…)";
  }
  // The publisher's reports may come before publish() returns; stop() withdraws the publication
  // (joining the publisher's thread) before this object goes, so `this` outlives them.
  auto publication = publisher_->publish(
      service, [this, generation] { published(generation); },
      [this, generation](const std::string& error) { failed(generation, error); },
      [this](const std::string& renamed) { log("📡 Bonjour: nazwa zajęta w LAN — rozgłaszam jako " + renamed); });
  std::lock_guard guard(mutex_);
  if (generation == generation_) service_ = std::move(publication);
}

void BonjourAdvertiser::published(uint64_t generation) {
  std::string line;
  {
    std::lock_guard guard(mutex_);
    if (generation != generation_ || reach_ == Reach::up) return;
    reach_ = Reach::up;
    line = announcement_;
  }
  log(line);
}

void BonjourAdvertiser::failed(uint64_t generation, const std::string& error) {
  {
    std::lock_guard guard(mutex_);
    if (generation != generation_ || reach_ == Reach::down) return;
    reach_ = Reach::down;
  }
  log("📡 Bonjour: publikacja nieudana " + error);
}

void BonjourAdvertiser::stop() {
  std::unique_ptr<ServicePublication> publication;
  {
    std::lock_guard guard(mutex_);
    publication = std::move(service_);
    ++generation_;
    reach_ = Reach::pending;
  }
  publication.reset();  // outside the lock: withdrawing waits for the publisher's thread
}

bool BonjourAdvertiser::isAdvertising() const {
  std::lock_guard guard(mutex_);
  return service_ != nullptr && reach_ == Reach::up;
}

}  // namespace tavlo
