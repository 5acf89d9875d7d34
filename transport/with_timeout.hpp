#pragma once
// Bounding a blocking operation by a time limit: the operation runs on a thread of its own and the
// caller waits for whichever comes first, its result or the limit on the scheduler's clock.
//
// An operation blocked in a read or a readiness wait cannot be interrupted from here: when the limit
// wins it goes on running on its thread, and the caller, which returns at once, ends it by cancelling
// the connection it waits on. Such an operation must therefore own (share) everything it touches.
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "platform/runtime/scheduler.hpp"

namespace vela {

namespace detail {
// Runs `operation` on a new thread and waits for it for up to `ms` of the scheduler's clock. Returns
// when it finished (rethrowing its error); throws TransportError::timedOut() (kind badEndpoint) when the limit passed.
void raceAgainstTimer(tavlo::Scheduler& scheduler, int ms, std::function<void()> operation);
}  // namespace detail

// The operation's value; its own error when it fails first; TransportError::badEndpoint when `ms`
// milliseconds (0 or more) pass first.
template <class T>
T withTimeout(tavlo::Scheduler& scheduler, int ms, std::function<T()> operation) {
  auto result = std::make_shared<std::optional<T>>();
  detail::raceAgainstTimer(scheduler, ms, [result, operation = std::move(operation)] { result->emplace(operation()); });
  return std::move(**result);
}

inline void withTimeout(tavlo::Scheduler& scheduler, int ms, std::function<void()> operation) {
  detail::raceAgainstTimer(scheduler, ms, std::move(operation));
}

}  // namespace vela
