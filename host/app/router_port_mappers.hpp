#pragma once
// The reachability policy's port mappers on the real router protocols (NAT-PMP and UPnP IGD).
#include <memory>
#include <vector>

#include "host/controller/port_mapper.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

std::shared_ptr<PortMapper> makeRouterPortMapper(PortMapperKind kind, uint16_t controlTCP,
                                                 std::vector<uint16_t> udpPorts, LogSink onLog,
                                                 PortMapper::OnMapped onMapped);

}  // namespace tavlo
