#include "host/reachability/reachability_runtime.hpp"

namespace tavlo {

std::shared_ptr<SerialExecutor> sharedNatPmpQueue() {
  static auto queue = std::make_shared<SerialExecutor>("tl.natpmp");
  return queue;
}

std::shared_ptr<SerialExecutor> sharedUpnpQueue() {
  static auto queue = std::make_shared<SerialExecutor>("vela.upnp");
  return queue;
}

std::shared_ptr<Scheduler> sharedReachabilityScheduler() {
  static auto scheduler = std::make_shared<ThreadScheduler>(SteadyClock::shared(), "vela.reach.tmr");
  return scheduler;
}

}  // namespace tavlo
