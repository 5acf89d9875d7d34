#pragma once
// Turning a connection's ready handler into one blocking wait.
#include <functional>

namespace vela {

// Called with true when a connection first becomes ready, with false when it fails or is cancelled;
// it may be called again later (false at cancellation), and those later calls are ignored.
using ReadyHandler = std::function<void(bool ready)>;

// Calls `start` with a ready handler and blocks until the handler's first call: returns for true,
// throws TransportError::notReady for false. No time limit of its own: a connection that never
// reports keeps the caller waiting, so callers bound it from outside.
void withReady(const std::function<void(ReadyHandler)>& start);

}  // namespace vela
