#include "host/app/router_port_mappers.hpp"

#include "host/reachability/nat_pmp_mapper.hpp"
#include "host/reachability/upnp_mapper.hpp"

namespace tavlo {
namespace {

class NatPmpPortMapper final : public PortMapper {
 public:
  explicit NatPmpPortMapper(std::shared_ptr<NATPMPMapper> mapper) : mapper_(std::move(mapper)) {}
  void start() override { mapper_->start(); }
  // NAT-PMP always deletes its mappings when it stops.
  void stop(bool) override { mapper_->stop(); }
  void purgeStaleMappings() override { mapper_->purgeStaleMappings(1); }
  void cancelPurge() override { mapper_->cancelPurge(); }
  bool hasMapping() const override { return mapper_->hasMapping(); }

 private:
  std::shared_ptr<NATPMPMapper> mapper_;
};

class UpnpPortMapper final : public PortMapper {
 public:
  explicit UpnpPortMapper(std::shared_ptr<UPnPMapper> mapper) : mapper_(std::move(mapper)) {}
  void start() override { mapper_->start(); }
  void stop(bool deleteMapping) override { mapper_->stop(deleteMapping); }
  void setFallbackPaths(const std::string& paths) override { mapper_->setFallbackPaths(paths); }
  void purgeStaleMappings() override { mapper_->purgeStaleMappings(1); }
  void cancelPurge() override { mapper_->cancelPurge(); }
  bool hasMapping() const override { return mapper_->hasMapping(); }

 private:
  std::shared_ptr<UPnPMapper> mapper_;
};

}  // namespace

std::shared_ptr<PortMapper> makeRouterPortMapper(PortMapperKind kind, uint16_t controlTCP,
                                                 std::vector<uint16_t> udpPorts, LogSink onLog,
                                                 PortMapper::OnMapped onMapped) {
  if (kind == PortMapperKind::natPmp) {
    auto mapper = NATPMPMapper::create(controlTCP, std::move(udpPorts));
    mapper->setOnLog(std::move(onLog));
    if (onMapped) mapper->setOnMapped(std::move(onMapped));
    return std::make_shared<NatPmpPortMapper>(std::move(mapper));
  }
  auto mapper = UPnPMapper::create(controlTCP, std::move(udpPorts));
  mapper->setOnLog(std::move(onLog));
  if (onMapped) mapper->setOnMapped(std::move(onMapped));
  return std::make_shared<UpnpPortMapper>(std::move(mapper));
}

}  // namespace tavlo
