#pragma once
// The process-wide queues and timer thread of the port mappers. The mappers' traffic runs on serial
// queues that outlive any one mapper, so the deletes a stopped mapper queues still go out after its
// owner has let it go.
#include <memory>

#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {

// "tl.natpmp": every NAT-PMP pass, timer handler, path update and clean-up of every mapper.
std::shared_ptr<SerialExecutor> sharedNatPmpQueue();
// "vela.upnp": UPnP searches, passes, deletes and clean-ups.
std::shared_ptr<SerialExecutor> sharedUpnpQueue();
// The timers of both mappers; their jobs only post to a queue.
std::shared_ptr<Scheduler> sharedReachabilityScheduler();

}  // namespace tavlo
