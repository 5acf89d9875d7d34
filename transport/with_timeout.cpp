#include "transport/with_timeout.hpp"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "transport/transport_error.hpp"

namespace vela {
namespace detail {

void raceAgainstTimer(tavlo::Scheduler& scheduler, int ms, std::function<void()> operation) {
  struct Race {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    bool timedOut = false;
    std::exception_ptr error;
  };
  auto race = std::make_shared<Race>();
  std::thread runner([race, operation = std::move(operation)] {
    std::exception_ptr error;
    try {
      operation();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard guard(race->mutex);
      race->finished = true;
      race->error = error;
    }
    race->changed.notify_all();
  });
  uint64_t limitUs = ms > 0 ? static_cast<uint64_t>(ms) * 1000 : 0;
  std::weak_ptr<Race> weak = race;
  tavlo::ScopedTimer timer(scheduler, scheduler.after(limitUs, [weak] {
                             auto race = weak.lock();
                             if (!race) return;
                             {
                               std::lock_guard guard(race->mutex);
                               race->timedOut = true;
                             }
                             race->changed.notify_all();
                           }));
  bool finished;
  std::exception_ptr error;
  {
    std::unique_lock lock(race->mutex);
    race->changed.wait(lock, [&] { return race->finished || race->timedOut; });
    finished = race->finished;
    error = race->error;
  }
  if (!finished) {
    // The limit won: the operation keeps its own state alive and ends when its wait is cancelled.
    runner.detach();
    throw TransportError::timedOut();
  }
  runner.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace detail
}  // namespace vela
